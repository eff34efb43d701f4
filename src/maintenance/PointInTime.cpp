#include "PointInTime.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "AutoBackupData.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "IniFile.h"
#include "Process.h"
#include "Settings.h"
#include "SevenZip.h"
#include "StopRequest.h"
#include "Text.h"
#include "WaitHook.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

namespace zenta {

namespace fs = std::filesystem;

namespace {

// The event types a transaction's bounds are read from.
enum EventType : unsigned char {
    kQueryEvent = 2,
    kFormatDescriptionEvent = 15,
    kXidEvent = 16,
    kGtidEvent = 162, // MariaDB's: starts every transaction group
};
constexpr size_t kHeaderSize = 19;
constexpr unsigned char kGtidStandalone = 1; // a statement that is its own transaction (DDL)

unsigned long Little(const unsigned char* p, int bytes) {
    unsigned long v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

long FileNumber(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? -1 : std::atol(name.c_str() + dot + 1);
}

std::time_t SecondsOf(const DateTime& d) {
    std::tm t{};
    t.tm_year = d.year - 1900;
    t.tm_mon = d.month - 1;
    t.tm_mday = d.day;
    t.tm_hour = d.hour;
    t.tm_min = d.minute;
    t.tm_sec = d.second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

std::string LocalText(std::time_t t) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return text;
}

// The query text of a query event (its checksum, when the log has them, left out).
std::string QueryText(const unsigned char* event, size_t size, bool checksums) {
    if (size < kHeaderSize + 13)
        return {};
    const unsigned char* body = event + kHeaderSize;
    const size_t dbLength = body[8];
    const size_t statusLength = Little(body + 11, 2);
    const size_t start = kHeaderSize + 13 + statusLength + dbLength + 1;
    const size_t end = size - (checksums ? 4 : 0);
    if (start >= end)
        return {};
    return std::string(reinterpret_cast<const char*>(event) + start, end - start);
}

// The figures of the snapshot an archive was made in: the log's file and position.
struct Snapshot {
    std::string file;
    long long position = 0;
};

Result<Snapshot> ArchiveSnapshot(const std::string& archive, const std::string& password) {
    // Recorded beside the copy when the archive was made: no need to unpack it.
    const std::string folder = BinlogFolder(BackupFolder());
    if (!folder.empty()) {
        const std::string name = fs::path(archive).filename().string();
        Snapshot known;
        known.file = IniFile::Read(folder + "snapshots.ini", name, "File");
        known.position =
            std::atoll(IniFile::Read(folder + "snapshots.ini", name, "Position").c_str());
        if (!known.file.empty() && known.position > 0)
            return known;
    }
    const std::string unpack =
        Globals::AppPath + "Temp/PointInTime-" + std::to_string(::getpid()) + "/";
    DeleteFolderTree(unpack);
    CreateFolderPath(unpack);
    const auto outcome =
        RunSevenZip({"e", "-y", "-o" + unpack, archive, kTableChecksFile}, password);
    const auto text = ReadWholeFile(unpack + kTableChecksFile);
    DeleteFolderTree(unpack);
    if (outcome.status != 0 || !text)
        return Result<Snapshot>::Failure(archive + " cannot be read (" +
                                         (outcome.WrongPassword()
                                              ? "its password is needed"
                                              : "7-Zip status " + std::to_string(outcome.status)) +
                                         ")");
    Snapshot s;
    s.file = IniFile::ReadFrom(*text, "Binlog", "File");
    s.position = std::atoll(IniFile::ReadFrom(*text, "Binlog", "Position").c_str());
    if (s.file.empty() || s.position <= 0)
        return Result<Snapshot>::Failure(archive +
                                         " records no binary-log position (it was made while the "
                                         "server kept no binary log, or by an older version)");
    return s;
}

// The chains of the copy, newest first.
std::vector<std::string> Chains(const std::string& folder) {
    std::vector<std::string> chains;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.is_directory(ec) && e.path().filename().string().rfind("chain-", 0) == 0)
            chains.push_back(WithSlash(e.path().string()));
    std::sort(chains.begin(), chains.end(), std::greater<>());
    return chains;
}

// From the snapshot's file on, the consecutive files of the chain that holds it; where they
// stop short of the chain's end, the gap.
struct Stretch {
    std::vector<BinlogFile> files;
    std::string gapAfter; // the file after which one is missing ("" when none)
};

std::optional<Stretch> StretchFrom(const std::string& folder, const std::string& first) {
    for (const auto& chain : Chains(folder)) {
        const auto files = ChainFiles(chain);
        auto it = std::find_if(files.begin(), files.end(),
                               [&](const BinlogFile& f) { return f.name == first; });
        if (it == files.end())
            continue;
        Stretch s;
        const auto breaks = ChainBreaks(chain);
        for (; it != files.end(); ++it) {
            if (!s.files.empty() &&
                (FileNumber(it->name) != FileNumber(s.files.back().name) + 1 ||
                 std::count(breaks.begin(), breaks.end(), s.files.back().name))) {
                s.gapAfter = s.files.back().name;
                break;
            }
            s.files.push_back(*it);
        }
        return s;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::pair<std::time_t, std::time_t>> BinlogEventSpan(const std::string& path) {
    const auto bytes = ReadWholeFile(path);
    if (!bytes || bytes->size() < 4 + kHeaderSize ||
        bytes->compare(0, 4,
                       "\xfe"
                       "bin") != 0)
        return std::nullopt;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
    std::optional<std::pair<std::time_t, std::time_t>> span;
    for (size_t at = 4; at + kHeaderSize <= bytes->size();) {
        const size_t length = Little(data + at + 9, 4);
        if (length < kHeaderSize || at + length > bytes->size())
            break;
        const std::time_t when = static_cast<std::time_t>(Little(data + at, 4));
        if (!span)
            span = std::make_pair(when, when);
        span->second = when;
        at += length;
    }
    return span;
}

std::vector<RestoreWindow> RestoreWindows(const std::string& backupFolder) {
    std::vector<RestoreWindow> windows;
    const std::string folder = BinlogFolder(backupFolder);
    if (folder.empty())
        return windows;
    auto names = DirNames(WithSlash(backupFolder) + kArchivePattern);
    std::sort(names.begin(), names.end());
    std::map<std::string, RestoreWindow> byEnd; // one window per stretch of the copy
    for (const auto& name : names) {
        const std::string file = IniFile::Read(folder + "snapshots.ini", name, "File");
        const long long position =
            std::atoll(IniFile::Read(folder + "snapshots.ini", name, "Position").c_str());
        const auto parsed = ParseArchiveName(name);
        if (file.empty() || position <= 0 || !parsed)
            continue;
        const auto stretch = StretchFrom(folder, file);
        if (!stretch)
            continue;
        const auto ends = ReadTransactionEnds(stretch->files, position);
        if (!ends)
            continue;
        RestoreWindow w;
        w.from = SecondsOf(parsed->time);
        w.to = ends->empty() ? w.from : std::max(w.from, ends->back().committed);
        w.gapAfter = stretch->gapAfter;
        const std::string key = stretch->files.back().path; // where the stretch ends
        auto it = byEnd.find(key);
        if (it == byEnd.end())
            byEnd[key] = w;
        else
            it->second.from = std::min(it->second.from, w.from);
    }
    for (auto& [key, w] : byEnd)
        windows.push_back(w);
    std::sort(windows.begin(), windows.end(),
              [](const RestoreWindow& a, const RestoreWindow& b) { return a.from < b.from; });
    return windows;
}

ChainCheck CheckChainFrom(const std::string& archive, const std::string& passwordFile) {
    auto says = [](bool fault, const std::string& text) { return ChainCheck{fault, text}; };
    const std::string folder = BinlogFolder(BackupFolder());
    if (folder.empty() || Chains(folder).empty())
        return says(false, "none is copied here (the monitor copies it while it runs)");
    const auto password =
        passwordFile.empty() ? ConfiguredArchivePassword() : ReadPasswordFile(passwordFile);
    if (!password)
        return says(false, password.error());
    const auto snapshot = ArchiveSnapshot(archive, *password);
    if (!snapshot)
        return says(false, "not usable from this archive: " + snapshot.error());
    const auto stretch = StretchFrom(folder, snapshot->file);
    if (!stretch)
        return says(false, "not usable from this archive: the copy begins after its snapshot (" +
                               snapshot->file + ")");
    for (const auto& f : stretch->files)
        if (RunProgramAndWait(GetSetting("Monitor", "BinlogProgram", "mariadb-binlog"),
                              {"--verify-binlog-checksum", "--result-file=/dev/null", f.path}, "",
                              "", std::chrono::seconds(600)) != 0)
            return says(true, "DAMAGED: " + f.path + " fails its checksum check");
    const auto ends = ReadTransactionEnds(stretch->files, snapshot->position);
    if (!ends)
        return says(true, "DAMAGED: " + ends.error());
    const std::string reach =
        ends->empty() ? std::string("no transaction after the archive")
                      : "the last transaction committed " + LocalText(ends->back().committed);
    if (!stretch->gapAfter.empty())
        return says(true, "a GAP after " + stretch->gapAfter + " (" + reach + " before it)");
    return says(false, std::to_string(stretch->files.size()) + " files from " + snapshot->file +
                           ", each continuing the one before, checksums good; " +
                           std::to_string(ends->size()) + " transactions, " + reach);
}

namespace {

// Deletes from the chains in `folder` (a copy's folder, or ZentaBackup/Binlog/ on a drive)
// every file before `first` in the chain named `holder`, and every chain older than it.
void PruneChains(const std::string& folder, const std::string& holder, long first,
                 const std::string& why) {
    auto remove = [&](const std::string& path) {
        std::error_code ec;
        if (fs::remove(path, ec))
            WriteProgramLog("binlog copy: deleted " + path + " (" + why + ")");
    };
    for (const auto& chain : Chains(folder)) {
        const std::string name = fs::path(chain.substr(0, chain.size() - 1)).filename();
        if (name > holder)
            continue;
        std::vector<std::string> paths;
        std::error_code ec;
        for (const std::string sub : {"", ".incoming/"})
            for (const auto& e : fs::directory_iterator(chain + sub, ec)) {
                std::string file = e.path().filename().string();
                if (file.size() > 3 && file.compare(file.size() - 3, 3, ".7z") == 0)
                    file.resize(file.size() - 3);
                const long n = FileNumber(file);
                if (n >= 0 && (name < holder || n < first))
                    paths.push_back(e.path().string());
            }
        std::sort(paths.begin(), paths.end());
        for (const auto& path : paths)
            remove(path);
        if (name < holder) {
            fs::remove_all(chain, ec);
            WriteProgramLog("binlog copy: deleted the chain " + chain + " (" + why + ")");
        }
    }
}

} // namespace

void PruneBinlogCopy(const std::string& backupFolder, long newest,
                     const std::vector<std::string>& drives) {
    const std::string folder = BinlogFolder(backupFolder);
    if (folder.empty() || !IsFolder(folder) || newest < 1)
        return;
    // The newest whole archives the rotation keeps by number; the oldest of them is where
    // the copy must reach back to.
    auto names = DirNames(WithSlash(backupFolder) + kArchivePattern);
    std::sort(names.begin(), names.end(), std::greater<>());
    std::string oldest;
    long counted = 0;
    for (const auto& name : names)
        if (counted < newest && IsWhole7zArchive(WithSlash(backupFolder) + name)) {
            oldest = WithSlash(backupFolder) + name;
            ++counted;
        }
    if (oldest.empty())
        return;
    const auto password = ConfiguredArchivePassword();
    const auto snapshot = ArchiveSnapshot(oldest, password ? *password : std::string());
    if (!snapshot)
        return; // nothing is known to be unneeded
    std::string holder;
    for (const auto& chain : Chains(folder)) // newest first
        for (const auto& f : ChainFiles(chain))
            if (f.name == snapshot->file && holder.empty())
                holder = fs::path(chain.substr(0, chain.size() - 1)).filename();
    if (holder.empty())
        return;
    const std::string why = "older than the snapshot of " + oldest +
                            ", the oldest of the archives kept by MaxBackupFile";
    const long first = FileNumber(snapshot->file);
    PruneChains(folder, holder, first, why);
    for (const auto& drive : drives)
        if (IsFolder(WithSlash(drive) + "ZentaBackup/Binlog/"))
            PruneChains(WithSlash(drive) + "ZentaBackup/Binlog/", holder, first, why);
}

Result<std::vector<TransactionEnd>> ReadTransactionEnds(const std::vector<BinlogFile>& files,
                                                        long long startPosition) {
    using Ends = Result<std::vector<TransactionEnd>>;
    std::vector<TransactionEnd> ends;
    for (size_t i = 0; i < files.size(); ++i) {
        const auto bytes = ReadWholeFile(files[i].path);
        if (!bytes || bytes->size() < 4 ||
            bytes->compare(0, 4,
                           "\xfe"
                           "bin") != 0)
            return Ends::Failure(files[i].path + " is not a binary log");
        const auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
        const size_t size = bytes->size();
        size_t at = i == 0 ? static_cast<size_t>(startPosition) : 4;
        bool checksums = false, inTransaction = false, standalone = false;
        // The format description (right after the magic) says whether events carry checksums;
        // it is read even when the replay starts further on.
        if (size >= 4 + kHeaderSize && data[4 + 4] == kFormatDescriptionEvent) {
            const size_t length = Little(data + 4 + 9, 4);
            if (4 + length <= size && length >= kHeaderSize + 5)
                checksums = data[4 + length - 5] == 1;
        }
        while (at + kHeaderSize <= size) {
            const unsigned char* event = data + at;
            const std::time_t when = static_cast<std::time_t>(Little(event, 4));
            const unsigned char type = event[4];
            const size_t length = Little(event + 9, 4);
            if (length < kHeaderSize || at + length > size)
                break; // the last event is still being written
            bool closes = false;
            if (type == kGtidEvent) {
                inTransaction = true;
                standalone =
                    length > kHeaderSize + 12 && (event[kHeaderSize + 12] & kGtidStandalone) != 0;
            } else if (type == kXidEvent) {
                closes = inTransaction;
            } else if (type == kQueryEvent && inTransaction) {
                const std::string query = QueryText(event, length, checksums);
                closes = standalone || AsciiUpperCase(TrimSpaces(query)) == "COMMIT";
            }
            at += length;
            if (closes) {
                inTransaction = standalone = false;
                ends.push_back({i, static_cast<long long>(at), when});
            }
        }
    }
    return ends;
}

Result<std::time_t> ParseUntil(const std::string& text) {
    if (AsciiLowerCase(TrimSpaces(text)) == "latest")
        return static_cast<std::time_t>(-1);
    std::tm t{};
    char rest = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &rest) != 6 ||
        t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 59)
        return Result<std::time_t>::Failure("\"" + text +
                                            "\" is no time: give \"YYYY-MM-DD HH:MM:SS\" of this "
                                            "computer's clock, or latest");
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&t);
    if (seconds == static_cast<std::time_t>(-1))
        return Result<std::time_t>::Failure("\"" + text + "\" is no time this computer knows");
    return seconds;
}

namespace {

// The archives a restore to a second may start from: the one given, or the good ones, newest
// first.
std::vector<std::string> StartingArchives(const std::string& given) {
    if (!given.empty())
        return {given};
    std::vector<std::string> candidates;
    const std::string backups = BackupFolder();
    auto names = DirNames(backups + kArchivePattern);
    std::sort(names.begin(), names.end(), std::greater<>());
    for (const auto& name : names)
        if (IsWhole7zArchive(backups + name))
            candidates.push_back(backups + name);
    return candidates;
}

// The text mariadb-binlog writes for the replay, made ready for the client on its way there:
// - the live database's name, where a statement (a CREATE TABLE, an ALTER, a DROP DATABASE)
//   names it itself, becomes the target's, as --rewrite-db does for the rows and the default
//   database; else such a statement would change the live database during a replay beside it;
// - the row events of one transaction go to the server as one BINLOG statement instead of one
//   per event (a sale of nine rows: one round trip instead of nine), in their order;
// - up to kGroup transactions in a row are committed together: the target is a database of
//   the replay's own until it is whole (a failure drops it), so each of them need not wait
//   for its own write to the disk; any other statement (a change of structure, the end of a
//   file) commits the group before it runs.
// It counts the transactions and the files it has seen go by.
class ReplayText {
  public:
    explicit ReplayText(std::string target) : target_(std::move(target)) {}
    // One line without its end; what goes to the client is added to `out`.
    void Line(std::string_view line, std::string& out) {
        if (inBlock_) {
            if (!line.empty() && line[0] == '\'')
                inBlock_ = false; // the block's end: held until a statement follows
            else
                (pending_ += line) += '\n';
            return;
        }
        if (inStatement_ || dropping_) { // the rest of a statement of several lines
            if (!dropping_)
                Pass(line, out);
            if (EndsStatement(line))
                inStatement_ = dropping_ = false;
            return;
        }
        if (line.empty())
            return; // between statements
        if (line.rfind("BINLOG '", 0) == 0) {
            inBlock_ = true;
            return;
        }
        if (line[0] == '#') {
            if (line.rfind("# at ", 0) == 0) {
                const long long at = std::atoll(std::string(line.substr(5)).c_str());
                if (at < position_)
                    ++file_; // the next file begins
                position_ = at;
            }
            return; // mariadb-binlog's comments: the client has no use for them
        }
        Flush(out);
        // A transaction's own ids only matter for a binary log, and the replay writes none.
        if (line.rfind("/*M!100001 SET @@session.gtid_", 0) == 0 ||
            line.rfind("/*M!100001 SET @@session.server_id", 0) == 0)
            return;
        if (line == "START TRANSACTION" || line == "BEGIN" ||
            line.rfind("START TRANSACTION" + delimiter_, 0) == 0 ||
            line.rfind("BEGIN" + delimiter_, 0) == 0) {
            if (open_) { // the group goes on
                dropping_ = !EndsStatement(line);
                return;
            }
            open_ = true;
        } else if (line.rfind("COMMIT", 0) == 0) {
            ++transactions_;
            if (open_ && ++grouped_ < kGroup)
                return;
            open_ = false;
            grouped_ = 0;
        } else if (open_ && !KeepsGroupOpen(line)) {
            out += "COMMIT" + delimiter_ + "\n";
            open_ = false;
            grouped_ = 0;
        }
        if (line.rfind("DELIMITER ", 0) == 0) {
            out += line;
            out += '\n';
            delimiter_ = std::string(line.substr(10));
            return;
        }
        Pass(line, out);
        inStatement_ = !EndsStatement(line);
    }
    // At the end: the row events held, and the group's commit.
    void Finish(std::string& out) {
        Flush(out);
        if (open_)
            out += "COMMIT" + delimiter_ + "\n";
        open_ = false;
    }
    long long transactions() const { return transactions_; }
    size_t file() const { return file_; }

  private:
    static constexpr std::string_view kLive = clsDataBase::kDefaultDatabase;
    static constexpr int kGroup = 1000;
    // The session settings mariadb-binlog writes before a transaction's events.
    static bool KeepsGroupOpen(std::string_view line) {
        return line == "/*!*/;" || line.rfind("SET TIMESTAMP=", 0) == 0 ||
               line.rfind("SET @@session.", 0) == 0 || line.rfind("SET INSERT_ID=", 0) == 0 ||
               line.rfind("SET LAST_INSERT_ID=", 0) == 0 || line.rfind("/*!\\C ", 0) == 0 ||
               line.rfind("/*M!100101 SET @@session.skip_parallel_replication", 0) == 0;
    }
    void Flush(std::string& out) {
        if (pending_.empty())
            return;
        out += "BINLOG '\n";
        out += pending_;
        out += "'" + delimiter_ + "\n";
        pending_.clear();
    }
    bool EndsStatement(std::string_view line) const {
        return line.size() >= delimiter_.size() &&
               line.compare(line.size() - delimiter_.size(), delimiter_.size(), delimiter_) == 0;
    }
    void Pass(std::string_view line, std::string& out) const {
        if (line.find(kLive) != std::string_view::npos)
            out += Renamed(std::string(line));
        else
            out += line;
        out += '\n';
    }
    // The line with each mention of the live database as a database renamed to the target:
    // `zentasupermarket`.x, zentasupermarket.x, and the name after DATABASE or SCHEMA (IF
    // [NOT] EXISTS); never a longer name that begins with it.
    std::string Renamed(const std::string& line) const {
        const std::string live(kLive);
        auto word = [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
        };
        // Whether the text before `end` (blanks and a backquote left out) ends with one of
        // the words that name a database.
        auto afterDatabaseWord = [&](size_t end) {
            std::string before = line.substr(0, end);
            while (!before.empty() && (before.back() == '`' ||
                                       std::isspace(static_cast<unsigned char>(before.back()))))
                before.pop_back();
            std::string upper;
            for (char c : before)
                upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            for (const char* w : {"DATABASE", "SCHEMA", "EXISTS"}) {
                const std::string k = w;
                if (upper.size() >= k.size() &&
                    upper.compare(upper.size() - k.size(), k.size(), k) == 0 &&
                    (upper.size() == k.size() || !word(upper[upper.size() - k.size() - 1])))
                    return k != "EXISTS" || upper.find("DATABASE") != std::string::npos ||
                           upper.find("SCHEMA") != std::string::npos;
            }
            return false;
        };
        std::string out;
        size_t from = 0;
        for (size_t at; (at = line.find(live, from)) != std::string::npos;
             from = at + live.size()) {
            const char before = at > 0 ? line[at - 1] : ' ';
            const size_t end = at + live.size();
            const char after = end < line.size() ? line[end] : ' ';
            const bool quoted =
                before == '`' && after == '`' && end + 1 < line.size() && line[end + 1] == '.';
            const bool qualified = !word(before) && before != '`' && after == '.';
            const bool database = (after == ' ' || after == '`' || after == ';' || after == '/' ||
                                   end == line.size()) &&
                                  !word(before) && afterDatabaseWord(at);
            out += line.substr(from, at - from);
            out += quoted || qualified || database ? target_ : live;
        }
        return out + line.substr(from);
    }
    std::string target_;
    std::string pending_;
    bool inBlock_ = false;
    std::string delimiter_ = ";";
    bool inStatement_ = false; // a statement goes on on the next line
    bool dropping_ = false;    // the rest of a START TRANSACTION left out
    bool open_ = false;        // a group's transaction is open in the client's session
    int grouped_ = 0;
    long long position_ = 0;
    size_t file_ = 0;
    long long transactions_ = 0;
};

// Starts `argv` with its standard input from `in` and its output to `out` (-1: unchanged),
// its error output to `errors`; the process id, or -1.
pid_t Spawn(const std::vector<std::string>& argv, int in, int out, const std::string& errors) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0)
        posix_spawn_file_actions_adddup2(&actions, in, 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitStatus(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// mariadb-binlog reading the files, and the client that runs what it is given, each on a pipe
// of this program's.
struct ReplayPrograms {
    pid_t reader = -1, writer = -1;
    FileDescriptor fromReader, toWriter;
};

Result<Done> StartReplayPrograms(const std::vector<BinlogFile>& files, long long start,
                                 long long stop, const std::string& target,
                                 const std::string& settings, const std::string& errors,
                                 ReplayPrograms& programs) {
    std::vector<std::string> reader = {
        GetSetting("Monitor", "BinlogProgram", "mariadb-binlog"), "--skip-gtid-strict-mode",
        "--start-position=" + std::to_string(start), "--stop-position=" + std::to_string(stop),
        "--rewrite-db=" + std::string(clsDataBase::kDefaultDatabase) + "->" + target};
    for (const auto& f : files)
        reader.push_back(f.path);
    const std::vector<std::string> writer = {"mariadb", "--defaults-extra-file=" + settings,
                                             "--binary-mode", "--init-command=SET sql_log_bin=0",
                                             target};
    int fromReader[2], toWriter[2];
    if (::pipe2(fromReader, O_CLOEXEC) != 0)
        return Result<Done>::Failure(std::string("no pipe: ") + std::strerror(errno));
    if (::pipe2(toWriter, O_CLOEXEC) != 0) {
        ::close(fromReader[0]);
        ::close(fromReader[1]);
        return Result<Done>::Failure(std::string("no pipe: ") + std::strerror(errno));
    }
    programs.reader = Spawn(reader, -1, fromReader[1], errors);
    programs.writer = Spawn(writer, toWriter[0], -1, errors);
    ::close(fromReader[1]);
    ::close(toWriter[0]);
    programs.fromReader = FileDescriptor(fromReader[0]);
    programs.toWriter = FileDescriptor(toWriter[1]);
    return Done{};
}

// Replays the copied files from `start` in the first to `stop` in the last into `target`, in
// one session with binary logging off: mariadb-binlog reads them (the live database's name
// rewritten to the target's), the text is made ready here (ReplayText) and the client runs
// it. The client stops at the first statement that fails: a replay is all or a failure.
Result<Done> Replay(const std::vector<BinlogFile>& files, long long start, long long stop,
                    long long transactions, const std::string& target,
                    const std::function<void(const std::string&)>& say) {
    const auto settings = WriteClientSettings("replay-client.cnf");
    if (!settings)
        return Result<Done>::Failure(settings.error());
    const std::string errors = Globals::AppPath + "Temp/replay-output.txt";
    std::remove(errors.c_str());
    // A client that ends early must not end this program with SIGPIPE.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    ReplayPrograms programs;
    if (const auto started =
            StartReplayPrograms(files, start, stop, target, *settings, errors, programs);
        !started) {
        ::sigaction(SIGPIPE, &previous, nullptr);
        return started;
    }
    const pid_t readerPid = programs.reader, writerPid = programs.writer;
    FileDescriptor& in = programs.fromReader;
    FileDescriptor& out = programs.toWriter;

    ReplayText text(target);
    bool written = readerPid > 0 && writerPid > 0;
    std::string carry, ready;
    std::vector<char> buffer(1 << 16);
    size_t shownFile = files.size();
    auto shownAt = std::chrono::steady_clock::now();
    auto send = [&] {
        for (size_t done = 0; written && done < ready.size();) {
            const ssize_t n = ::write(out.get(), ready.data() + done, ready.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                written = false; // the client ended: its error says why
            else
                done += static_cast<size_t>(n);
        }
        ready.clear();
    };
    while (written) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        carry.append(buffer.data(), static_cast<size_t>(n));
        size_t from = 0;
        for (size_t end; (end = carry.find('\n', from)) != std::string::npos; from = end + 1)
            text.Line(std::string_view(carry).substr(from, end - from), ready);
        carry.erase(0, from);
        send();
        if (StopRequested()) {
            written = false;
            break;
        }
        CallWaitHook();
        const auto now = std::chrono::steady_clock::now();
        const size_t file = std::min(text.file(), files.size() - 1);
        if (say && (file != shownFile || now - shownAt >= std::chrono::seconds(5))) {
            shownFile = file;
            shownAt = now;
            say("  replaying " + files[file].name + " (" + std::to_string(file + 1) + " of " +
                std::to_string(files.size()) + " files): " + std::to_string(text.transactions()) +
                " of " + std::to_string(transactions) + " transactions");
        }
    }
    if (written) {
        if (!carry.empty())
            text.Line(carry, ready);
        text.Finish(ready);
        send();
    }
    out.Close();
    in.Close(); // a reader still writing ends on its own
    const int readerStatus = readerPid > 0 ? WaitStatus(readerPid) : -1;
    const int writerStatus = writerPid > 0 ? WaitStatus(writerPid) : -1;
    ::sigaction(SIGPIPE, &previous, nullptr);
    std::remove(settings->c_str());
    std::string why = ReadWholeFile(errors).value_or("");
    std::remove(errors.c_str());
    if (StopRequested())
        return Result<Done>::Failure("stopped, the program is ending");
    if (readerPid <= 0 || writerPid <= 0)
        return Result<Done>::Failure("mariadb-binlog or mariadb cannot be started");
    if (readerStatus == 0 && writerStatus == 0 && written)
        return Done{};
    if (why.size() > 600)
        why = why.substr(why.size() - 600);
    return Result<Done>::Failure(TrimSpaces(why).empty() ? "the replay ended early"
                                                         : TrimSpaces(why));
}

// The last of `ends` committed by `when` (every one without it), and how many that is.
const TransactionEnd* LastEndBy(const std::vector<TransactionEnd>& ends,
                                std::optional<std::time_t> when, long long& count) {
    const TransactionEnd* last = nullptr;
    count = 0;
    for (const auto& end : ends) {
        if (when && end.committed > *when)
            break;
        last = &end;
        ++count;
    }
    return last;
}

// The database brought forward replaces the live one (which is backed up and kept aside);
// its own database goes either way. Where the live tables went.
Result<std::string> MoveIntoLive(const std::string& database,
                                 const std::vector<TableFigures>& restored,
                                 const std::function<void(const std::string&)>& say) {
    std::vector<std::string> tables;
    for (const auto& t : restored)
        tables.push_back(t.table);
    auto saved = ReplaceLiveDatabase(DataBase(), database, tables, say);
    DataBase().SQLExecute("DROP DATABASE IF EXISTS `" + database + "`;");
    return saved;
}

} // namespace

UntilReport RestoreUntil(const std::string& given, const std::string& until,
                         const RestoreOptions& options) {
    UntilReport report;
    auto fail = [&](RestoreFailure kind, const std::string& why) {
        report.restore.ok = false;
        report.restore.failure = kind;
        report.restore.error = why;
        return report;
    };
    auto say = [&](const std::string& line) {
        if (options.progress)
            options.progress(line);
    };
    const auto when = ParseUntil(until);
    if (!when)
        return fail(RestoreFailure::Target, when.error());
    const bool latest = *when == static_cast<std::time_t>(-1);
    // Into the live database: restored and brought forward in a database of its own first,
    // so that the live one is replaced only by a whole result.
    RestoreOptions into = options;
    if (options.intoLive) {
        into.intoLive = false;
        into.database = "zentasupermarket_until_" + ArchiveStamp(DateTime::Now());
    }
    const std::string folder = BinlogFolder(BackupFolder());
    if (folder.empty())
        return fail(RestoreFailure::Target,
                    "the copy of the binary log is off ([Monitor] BinlogFolder): there is nothing "
                    "to bring an archive forward with");
    const auto password = options.passwordFile.empty() ? ConfiguredArchivePassword()
                                                       : ReadPasswordFile(options.passwordFile);
    if (!password)
        return fail(RestoreFailure::Password, password.error());

    std::string windows; // what can be restored, for the error
    for (const auto& archive : StartingArchives(given)) {
        const auto parsed = ParseArchiveName(archive);
        const auto snapshot = ArchiveSnapshot(archive, *password);
        if (!snapshot) {
            windows += "\n  " + snapshot.error();
            continue;
        }
        const auto stretch = StretchFrom(folder, snapshot->file);
        if (!stretch) {
            windows += "\n  " + archive + ": its log file " + snapshot->file +
                       " is not in the copy in " + folder;
            continue;
        }
        const auto ends = ReadTransactionEnds(stretch->files, snapshot->position);
        if (!ends)
            return fail(RestoreFailure::Damaged, ends.error());
        const std::time_t from = parsed ? SecondsOf(parsed->time) : 0;
        const std::time_t to = ends->empty() ? from : ends->back().committed;
        windows += "\n  from " + archive + " (" + (from ? LocalText(from) : std::string("?")) +
                   ") to " + LocalText(to) +
                   (stretch->gapAfter.empty() ? "" : ", then a GAP after " + stretch->gapAfter);
        if (!latest && from && *when < from - 1)
            continue; // this archive is newer than the time: an older one may reach it
        // Beyond a gap nothing is known: never a silent hole in what is restored.
        if (!stretch->gapAfter.empty() && (latest || *when > to))
            return fail(RestoreFailure::Target,
                        "the copied log has a gap after " + stretch->gapAfter + ": " +
                            (latest ? std::string("the latest") : LocalText(*when)) +
                            " cannot be reached (--until " + LocalText(to) +
                            " can); what can be restored:" + windows);
        // The last transaction committed at or before the time; never one cut in two.
        long long replayed = 0;
        const TransactionEnd* stop = LastEndBy(
            *ends, latest ? std::optional<std::time_t>() : std::optional<std::time_t>(*when),
            replayed);
        say("restoring " + archive);
        report.restore = RestoreArchive(archive, into);
        if (!report.restore.ok)
            return report;
        report.archive = archive;
        const std::string target = report.restore.database;
        if (!stop) {
            say("no transaction to replay after the archive's snapshot");
        } else {
            say("replaying " + std::to_string(replayed) + " transactions from " +
                std::to_string(stop->file + 1) + " log files, up to " + LocalText(stop->committed));
            const std::vector<BinlogFile> files(stretch->files.begin(),
                                                stretch->files.begin() + stop->file + 1);
            if (const auto replay =
                    Replay(files, snapshot->position, stop->position, replayed, target, say);
                !replay) {
                DataBase().SQLExecute("DROP DATABASE IF EXISTS `" + target + "`;");
                return fail(RestoreFailure::Server,
                            "the log could not be replayed onto the archive (" + replay.error() +
                                "); nothing was left behind");
            }
            report.reached = stop->committed;
            report.transactions = replayed;
        }
        if (options.intoLive) {
            const auto saved = MoveIntoLive(target, report.restore.tables, say);
            if (!saved)
                return fail(RestoreFailure::Server, saved.error());
            report.restore.savedLive = *saved;
            report.restore.database = clsDataBase::kDefaultDatabase;
        }
        WriteProgramLog("restored " + archive + " and replayed the log to " +
                        (stop ? LocalText(stop->committed) : std::string("its snapshot")) +
                        " into the database " + report.restore.database);
        return report;
    }
    return fail(RestoreFailure::Target,
                (latest ? std::string("no archive can be brought forward")
                        : LocalText(*when) + " cannot be restored") +
                    "; what can be restored:" + (windows.empty() ? "\n  nothing" : windows));
}

} // namespace zenta
