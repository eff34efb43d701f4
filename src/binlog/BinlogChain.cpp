#include "BinlogChain.h"

#include "ArchiveNames.h"
#include "BinlogCopyRecord.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "Globals.h"
#include "IniFile.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "Settings.h"
#include "SevenZip.h"
#include "Text.h"
#include "Variant.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta {

namespace {

constexpr const char* kChainPrefix = "chain-";
constexpr const char* kStateFile = "chain.ini";
constexpr const char* kSnapshotsFile = "snapshots.ini";
constexpr const char* kRecordsFile = "files.ini";
constexpr const char* kBreaksFile = "BREAKS.txt";
constexpr const char* kGapsFile = "GAPS.txt";
constexpr const char* kChainSection = "Chain";
// The version of the facts kept in files.ini: facts kept by another are read anew.
constexpr const char* kFactsVersion = "2";
// An archive's name carries when its backup began, a few seconds before its snapshot.
constexpr std::time_t kNameSlack = 10;

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(path).value_or(""));
    for (std::string line; std::getline(in, line);)
        if (!TrimSpaces(line).empty())
            lines.push_back(TrimSpaces(line));
    return lines;
}

bool AppendLine(const std::string& path, const std::string& line) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (!f)
        return false;
    const std::string text = line + "\n";
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written;
}

std::string Flag(bool b) {
    return b ? "1" : "0";
}

} // namespace

std::string BinlogFolder(const std::string& backupFolder) {
    const std::string setting = TrimBlanks(GetSetting("Monitor", "BinlogFolder", ""));
    const std::string lower = AsciiLowerCase(setting);
    if (lower == "off" || lower == "0" || lower == "no")
        return {};
    if (setting.empty())
        return WithSlash(backupFolder) + "Binlog/";
    return WithSlash(setting[0] == '/' ? setting : Globals::AppPath + setting);
}

std::map<long, std::string> LogFilesIn(const std::string& folder) {
    std::map<long, std::string> files;
    for (const auto& name : DirNames(folder + "*"))
        if (const long n = LogFileNumber(name); n >= 0)
            files[n] = name;
    return files;
}

long LogFileNumber(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= name.size() ||
        name.size() - dot - 1 > 9 ||
        name.find_first_not_of("0123456789", dot + 1) != std::string::npos)
        return -1;
    return std::atol(name.c_str() + dot + 1);
}

BinlogChain::BinlogChain(const std::string& folder, const std::string& name)
    : folder_(WithSlash(folder)), name_(name) {}

std::vector<std::string> BinlogChain::Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e :
         DirListing(WithSlash(folder) + std::string(kChainPrefix) + "*", vbDirectory))
        if (e.attributes & vbDirectory)
            names.push_back(e.name);
    return names; // the names carry when each began: sorted by name, oldest first
}

std::vector<BinlogChain> BinlogChain::All(const std::string& folder) {
    std::vector<BinlogChain> chains;
    for (const auto& name : Names(folder))
        chains.emplace_back(folder, name);
    return chains;
}

std::optional<BinlogChain> BinlogChain::Current(const std::string& folder) {
    const std::string name = IniFile::Read(WithSlash(folder) + kStateFile, "Chain", "Current");
    if (name.empty() || !IsFolder(WithSlash(folder) + name))
        return std::nullopt;
    return BinlogChain(folder, name);
}

Result<BinlogChain> BinlogChain::Begin(const std::string& folder) {
    const std::string stamp = ArchiveStamp(DateTime::Now());
    std::string name = kChainPrefix + stamp;
    for (int n = 2; IsFolder(WithSlash(folder) + name); ++n)
        name = kChainPrefix + stamp + "-" + std::to_string(n);
    BinlogChain chain(folder, name);
    if (!CreateFolderPath(chain.incoming()))
        return Result<BinlogChain>::Failure("the folder " + chain.path() + " cannot be made");
    if (!chain.MakeCurrent())
        return Result<BinlogChain>::Failure("the copy's state " + WithSlash(folder) + kStateFile +
                                            " cannot be written");
    return chain;
}

bool BinlogChain::MakeCurrent() const {
    return IniFile::Write(folder_ + kStateFile, "Chain", "Current", name_);
}

std::vector<ChainFile> BinlogChain::Files() const {
    std::map<long, std::vector<ChainFile>> copies;
    for (const std::string& place : {path(), incoming(), shortCopies()})
        for (const auto& [number, name] : LogFilesIn(place)) {
            const long long size = RegularFileLength(place + name);
            if (size >= 0)
                copies[number].push_back({name, place + name, number, size, place == path()});
        }
    std::vector<ChainFile> files;
    for (auto& [number, list] : copies) {
        if (list.size() == 1) {
            files.push_back(list.front());
            continue;
        }
        // Two copies of one file: the one whose whole events reach furthest (a stream started
        // again writes its file anew, shorter at first than the copy it replaces).
        const ChainFile* best = nullptr;
        long long reach = -1;
        for (const auto& copy : list) {
            const long long whole = copy.whole ? copy.size : ReadBinlogFile(copy.path).wholeEnd;
            if (whole > reach) {
                best = &copy;
                reach = whole;
            }
        }
        files.push_back(*best);
    }
    return files;
}

BinlogFileFacts BinlogChain::Facts(const ChainFile& file) const {
    if (file.whole && Record(file.name, "Facts") == kFactsVersion &&
        Record(file.name, "FactsSize") == std::to_string(file.size)) {
        BinlogFileFacts f;
        auto number = [&](const char* key) { return std::atoll(Record(file.name, key).c_str()); };
        f.binaryLog = Record(file.name, "BinaryLog") == "1";
        f.size = file.size;
        f.wholeEnd = number("WholeEnd");
        f.lastEventAt = number("LastEventStart");
        f.committedEnd = number("CommittedEnd");
        f.stop = static_cast<BinlogReader::Stop>(number("Stop"));
        f.problem = Record(file.name, "Problem");
        f.closed = Record(file.name, "Closed") == "1";
        f.hasGtidList = Record(file.name, "HasGtidList") == "1";
        f.begins = ParseGtidState(Record(file.name, "Begins")).value_or(GtidState{});
        f.ends = ParseGtidState(Record(file.name, "Ends")).value_or(GtidState{});
        if (const std::string key = Record(file.name, "Opening"); !key.empty()) {
            BinlogOpening o;
            o.key = key;
            o.serverId = static_cast<std::uint32_t>(number("ServerId"));
            o.time = static_cast<std::time_t>(number("Opened"));
            f.opening = o;
        }
        f.firstEvent = static_cast<std::time_t>(number("FirstEventAt"));
        f.lastEvent = static_cast<std::time_t>(number("LastEventAt"));
        f.lastCommitted = static_cast<std::time_t>(number("LastCommittedAt"));
        return f;
    }
    const BinlogFileFacts f = ReadBinlogFile(file.path);
    if (file.whole) {
        auto text = [](long long v) { return std::to_string(v); };
        WriteRecord(file.name, {{"Facts", kFactsVersion},
                                {"FactsSize", text(f.size)},
                                {"BinaryLog", Flag(f.binaryLog)},
                                {"WholeEnd", text(f.wholeEnd)},
                                {"LastEventStart", text(f.lastEventAt)},
                                {"CommittedEnd", text(f.committedEnd)},
                                {"Stop", text(static_cast<int>(f.stop))},
                                {"Problem", f.problem},
                                {"Closed", Flag(f.closed)},
                                {"HasGtidList", Flag(f.hasGtidList)},
                                {"Begins", GtidStateText(f.begins)},
                                {"Ends", GtidStateText(f.ends)},
                                {"Opening", f.opening ? f.opening->key : std::string()},
                                {"ServerId", f.opening ? text(f.opening->serverId) : std::string()},
                                {"Opened", f.opening ? text(f.opening->time) : std::string()},
                                {"FirstEventAt", text(f.firstEvent)},
                                {"LastEventAt", text(f.lastEvent)},
                                {"LastCommittedAt", text(f.lastCommitted)}});
    }
    return f;
}

bool BinlogChain::Holds(const std::string& file, const std::string& openingKey) const {
    if (openingKey.empty())
        return false;
    for (const auto& f : Files())
        if (f.name == file) {
            const auto facts = Facts(f);
            return facts.opening && facts.opening->key == openingKey;
        }
    return false;
}

BinlogChain::Opening BinlogChain::ChainOpening() const {
    Opening o;
    o.firstFile = Record(kChainSection, "FirstFile");
    o.serverId = static_cast<std::uint32_t>(std::atoll(Record(kChainSection, "ServerId").c_str()));
    o.time = static_cast<std::time_t>(std::atoll(Record(kChainSection, "Opened").c_str()));
    if (o.known())
        return o;
    // A chain begun before its opening was recorded: its first file's opening event.
    for (const auto& f : Files()) {
        const auto facts = Facts(f);
        if (!facts.opening)
            continue;
        RecordOpening(f.name, *facts.opening);
        return {f.name, facts.opening->serverId, facts.opening->time};
    }
    return o;
}

bool BinlogChain::RecordOpening(const std::string& file, const BinlogOpening& opening) const {
    return WriteRecord(kChainSection,
                       {{"FirstFile", file},
                        {"ServerId", std::to_string(opening.serverId)},
                        {"Opened", std::to_string(static_cast<long long>(opening.time))},
                        {"OpenedText", InstantText(opening.time)},
                        {"Opening", opening.key}});
}

// files.ini as it stands on the disk: read again when another writer (the finishing of copied
// files, the rotation) changed it since.
const BinlogChain::Records& BinlogChain::AllRecords() const {
    struct stat st {};
    const std::string stamp = ::stat((path() + kRecordsFile).c_str(), &st) == 0
                                  ? std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) +
                                        ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                                        std::to_string(st.st_mtim.tv_nsec)
                                  : std::string();
    if (records_ && stamp == recordsStamp_)
        return *records_;
    recordsStamp_ = stamp;
    records_ = std::make_shared<Records>();
    std::istringstream in(ReadWholeFile(path() + kRecordsFile).value_or(""));
    std::string section;
    for (std::string line; std::getline(in, line);) {
        line = TrimBlanks(ReplaceAll(line, "\r", ""));
        if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
            section = AsciiLowerCase(TrimBlanks(line.substr(1, line.size() - 2)));
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || section.empty())
            continue;
        std::string value = TrimBlanks(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        (*records_)[section].emplace(AsciiLowerCase(TrimBlanks(line.substr(0, eq))), value);
    }
    return *records_;
}

std::string BinlogChain::Record(const std::string& file, const std::string& key) const {
    const auto& records = AllRecords();
    const auto section = records.find(AsciiLowerCase(file));
    if (section == records.end())
        return {};
    const auto value = section->second.find(AsciiLowerCase(key));
    return value == section->second.end() ? std::string() : value->second;
}

bool BinlogChain::WriteRecord(const std::string& file, const Figures& values) const {
    const bool written = IniFile::WriteMany(path() + kRecordsFile, file, values);
    records_.reset();
    if (!written)
        WriteProgramLog("binlog copy: the record of " + file + " cannot be written into " + path() +
                        kRecordsFile);
    return written;
}

namespace {

// Each step's key in files.ini, and how it says done and failed.
struct StepWords {
    const char* key;
    const char* done;   // the value when done; nullptr: the value is what the step left
    const char* failed; // the value (or its beginning) when it failed
};
StepWords WordsOf(BinlogChain::Step step) {
    using S = BinlogChain::Step;
    switch (step) {
    case S::Whole:
        return {"Whole", nullptr, nullptr};
    case S::Lost:
        return {"Lost", nullptr, nullptr};
    case S::Checked:
        return {"Checked", "good", "FAILED"};
    case S::Packed:
        return {"Packed", nullptr, "FAILED"};
    case S::Drive:
        return {"Drive", nullptr, "FAILED"};
    case S::Offsite:
        break;
    }
    return {"Offsite", "done", "failed"};
}

} // namespace

BinlogChain::StepOutcome BinlogChain::StepOf(const std::string& file, Step step) const {
    const StepWords words = WordsOf(step);
    const std::string value = Record(file, words.key);
    StepOutcome o;
    if (value.empty())
        return o;
    if (words.failed && value.rfind(words.failed, 0) == 0) {
        o.failed = true;
        const size_t colon = value.find(": ");
        o.why = colon == std::string::npos ? std::string() : value.substr(colon + 2);
        return o;
    }
    o.done = !words.done || value == words.done;
    o.what = value;
    return o;
}

bool BinlogChain::MarkDone(const std::string& file, Step step, const std::string& what,
                           const Figures& figures) const {
    const StepWords words = WordsOf(step);
    Figures values = figures;
    values.push_back({words.key, words.done     ? words.done
                                 : what.empty() ? DateTime::Now().StampText()
                                                : what});
    if (step == Step::Offsite)
        values.push_back({"OffsiteTried", DateTime::Now().StampText()});
    return WriteRecord(file, values);
}

bool BinlogChain::MarkFailed(const std::string& file, Step step, const std::string& why,
                             const Figures& figures) const {
    const StepWords words = WordsOf(step);
    Figures values = figures;
    values.push_back({words.key, std::string(words.failed ? words.failed : "FAILED") +
                                     (why.empty() || step == Step::Offsite ? "" : ": " + why)});
    if (step == Step::Offsite)
        values.push_back({"OffsiteTried", DateTime::Now().StampText()});
    return WriteRecord(file, values);
}

long long BinlogChain::RepositorySent(const std::string& file) const {
    return std::atoll(Record(file, "RepositorySent").c_str());
}

bool BinlogChain::MarkRepositorySent(const std::string& file, long long end) const {
    return WriteRecord(file, {{"RepositorySent", std::to_string(end)}});
}

bool BinlogChain::RepositoryOpeningSent() const {
    return Record("Chain", "RepositoryOpening") == "sent";
}

bool BinlogChain::MarkRepositoryOpeningSent() const {
    return WriteRecord("Chain", {{"RepositoryOpening", "sent"}});
}

std::string BinlogChain::PurgeSaidAt() const {
    return Record("Chain", "PurgedSaid");
}

bool BinlogChain::SayPurgeAt(const std::string& firstListed) const {
    return WriteRecord("Chain", {{"PurgedSaid", firstListed}});
}

bool BinlogChain::RemoveRecords(const std::vector<std::string>& files) const {
    const bool removed = IniFile::RemoveSections(path() + kRecordsFile, files);
    records_.reset();
    return removed;
}

std::vector<std::string> BinlogChain::Breaks() const {
    return Lines(path() + kBreaksFile);
}

bool BinlogChain::AddBreak(const std::string& file) const {
    return AppendLine(path() + kBreaksFile, file);
}

std::vector<std::string> BinlogChain::Gaps() const {
    return Lines(path() + kGapsFile);
}

bool BinlogChain::AddGap(const std::string& line) const {
    return AppendLine(path() + kGapsFile, line);
}

std::string BinlogChain::DriveFolder(const std::string& mount) const {
    return DriveBinlogFolder(mount) + name_ + "/";
}

std::string DriveBinlogFolder(const std::string& mount) {
    return WithSlash(mount) + "ZentaBackup/Binlog/";
}

std::vector<std::pair<std::string, std::string>> SnapshotValues(const SnapshotRecord& s) {
    return {{"File", s.file},
            {"Position", std::to_string(s.position)},
            {"GTID", s.gtid},
            {"GTIDTrusted", s.gtidTrusted ? "yes" : "no"},
            {"Chain", s.chain},
            {"FileOpening", s.fileOpening},
            {"Taken", s.taken ? std::to_string(static_cast<long long>(s.taken)) : std::string()}};
}

SnapshotRecord SnapshotFromIni(const std::string& contents, const std::string& section,
                               const std::string& archive) {
    SnapshotRecord s;
    s.archive = archive;
    s.file = IniFile::ReadFrom(contents, section, "File");
    s.position = std::atoll(IniFile::ReadFrom(contents, section, "Position").c_str());
    s.gtid = IniFile::ReadFrom(contents, section, "GTID");
    // Archives made before GTIDTrusted was written recorded the server's GTID position when
    // the snapshot was read, which can be later than the snapshot: never started from.
    s.gtidTrusted = IniFile::ReadFrom(contents, section, "GTIDTrusted") == "yes";
    s.chain = IniFile::ReadFrom(contents, section, "Chain");
    s.fileOpening = IniFile::ReadFrom(contents, section, "FileOpening");
    s.taken =
        static_cast<std::time_t>(std::atoll(IniFile::ReadFrom(contents, section, "Taken").c_str()));
    return s;
}

bool RecordSnapshot(const std::string& folder, const SnapshotRecord& snapshot) {
    return IniFile::WriteMany(WithSlash(folder) + kSnapshotsFile, snapshot.archive,
                              SnapshotValues(snapshot));
}

std::optional<SnapshotRecord> RecordedSnapshot(const std::string& folder,
                                               const std::string& archive) {
    const auto text = ReadWholeFile(WithSlash(folder) + kSnapshotsFile);
    if (!text)
        return std::nullopt;
    SnapshotRecord s = SnapshotFromIni(*text, archive, archive);
    if (!s.known())
        return std::nullopt;
    return s;
}

Result<SnapshotRecord> SnapshotOfArchive(const std::string& folder, const std::string& archive,
                                         const std::string& password) {
    using Snapshot = Result<SnapshotRecord>;
    const std::string name = archive.substr(archive.rfind('/') + 1);
    if (!folder.empty())
        if (auto recorded = RecordedSnapshot(folder, name))
            return *recorded;
    const std::string unpack =
        Globals::AppPath + "Temp/Snapshot-" + std::to_string(::getpid()) + "/";
    DeleteFolderTree(unpack);
    CreateFolderPath(unpack);
    const auto outcome =
        RunSevenZip({"e", "-y", "-o" + unpack, archive, kTableChecksFile}, password);
    const auto text = ReadWholeFile(unpack + kTableChecksFile);
    DeleteFolderTree(unpack);
    if (outcome.status != 0 || !text)
        return Snapshot::Failure(archive + " cannot be read (" +
                                 (outcome.WrongPassword() ? std::string("its password is needed")
                                  : outcome.status == 0
                                      ? std::string("it holds no ") + kTableChecksFile
                                      : "7-Zip status " + std::to_string(outcome.status)) +
                                 ")");
    const SnapshotRecord s = SnapshotFromIni(*text, "Binlog", name);
    if (!s.known())
        return Snapshot::Failure(archive +
                                 " records no binary-log position (it was made while the server "
                                 "kept no binary log, or by an older version)");
    return s;
}

std::time_t SnapshotTime(const SnapshotRecord& snapshot) {
    if (snapshot.taken > 0)
        return snapshot.taken;
    const auto parsed = ParseArchiveName(snapshot.archive);
    return parsed ? static_cast<std::time_t>(StampSeconds(parsed->time.StampText())) : 0;
}

std::optional<BinlogChain> ChainOfSnapshot(const std::string& folder,
                                           const SnapshotRecord& snapshot) {
    const std::time_t archiveTime = SnapshotTime(snapshot);
    auto chains = BinlogChain::All(folder);
    std::reverse(chains.begin(), chains.end()); // newest first
    if (!snapshot.fileOpening.empty()) {
        if (!snapshot.chain.empty()) {
            const BinlogChain named(folder, snapshot.chain);
            if (named.Holds(snapshot.file, snapshot.fileOpening))
                return named;
        }
        for (const auto& chain : chains)
            if (chain.Holds(snapshot.file, snapshot.fileOpening))
                return chain;
        return std::nullopt;
    }
    // Recorded before the openings were: the copy of the file that the server opened last
    // before the archive was made (a server installed anew opened its own later).
    std::optional<BinlogChain> found;
    std::time_t foundOpened = 0;
    for (const auto& chain : chains)
        for (const auto& f : chain.Files()) {
            if (f.name != snapshot.file)
                continue;
            const auto facts = chain.Facts(f);
            if (facts.opening && facts.opening->time <= archiveTime + kNameSlack &&
                (!found || facts.opening->time > foundOpened)) {
                found = chain;
                foundOpened = facts.opening->time;
            }
        }
    return found;
}

std::optional<Stretch> StretchFrom(const BinlogChain& chain, const std::string& file) {
    const auto files = chain.Files();
    auto it = std::find_if(files.begin(), files.end(),
                           [&](const ChainFile& f) { return f.name == file; });
    if (it == files.end())
        return std::nullopt;
    const auto breaks = chain.Breaks();
    Stretch s;
    for (; it != files.end(); ++it) {
        BinlogFileFacts facts = chain.Facts(*it);
        if (!s.files.empty()) {
            const ChainFile& before = s.files.back();
            const BinlogFileFacts& beforeFacts = s.facts.back();
            std::string why;
            if (it->number != before.number + 1)
                why = "the copy lacks the file after " + before.name;
            else if (!beforeFacts.ContinuedBy(facts))
                why = "the copy of " + before.name + " lacks transactions that " + it->name +
                      " says came before it (it ends after " + GtidStateText(beforeFacts.ends) +
                      ", " + it->name + " begins after " + GtidStateText(facts.begins) + ")";
            if (!why.empty()) {
                s.gapAfter = before.name;
                s.why = why;
                break;
            }
        }
        s.files.push_back(*it);
        s.facts.push_back(std::move(facts));
        const bool last = it + 1 == files.end();
        // A restore replaced the live database after this file: nothing after it can be
        // replayed onto what came before, even before the next file is copied.
        if (std::count(breaks.begin(), breaks.end(), it->name)) {
            s.gapAfter = it->name;
            s.why = "the live database was replaced by a restore after " + it->name;
            break;
        }
        if (!last && s.facts.back().stop == BinlogReader::Stop::Damaged) {
            s.gapAfter = it->name;
            s.why = it->name + " is damaged: " + s.facts.back().problem;
            break;
        }
    }
    return s;
}

void SayBinlogGap(const BinlogChain& chain, const std::string& text) {
    WriteProgramLog("binlog copy: GAP in " + chain.path() + ": " + text);
    if (!chain.AddGap(DateTime::Now().StampText() + " " + text))
        WriteProgramLog("binlog copy: the gap cannot be written into " + chain.path() + "GAPS.txt");
    BinlogCopyOutcome::RecordGap(text);
}

} // namespace zenta
