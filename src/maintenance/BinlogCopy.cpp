#include "BinlogCopy.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "AutoBackupData.h"
#include "BackupAll.h"
#include "BinaryLog.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "IniFile.h"
#include "JobOutcomes.h"
#include "Opcion.h"
#include "PointInTime.h"
#include "RemovableDrives.h"
#include "Settings.h"
#include "SevenZip.h"
#include "Text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <sys/stat.h>

namespace zenta {

namespace fs = std::filesystem;

namespace {

constexpr auto kRestartPause = std::chrono::seconds(5);

// "binlog.000012" -> 12; -1 when the name has no number.
long FileNumber(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size() ||
        name.find_first_not_of("0123456789", dot + 1) != std::string::npos)
        return -1;
    return std::atol(name.c_str() + dot + 1);
}

// The server's logs, oldest first: name and size.
std::vector<std::pair<std::string, long long>> ServerLogs(clsDataBase& db) {
    std::vector<std::pair<std::string, long long>> logs;
    db.CreatDatasArray("SHOW BINARY LOGS;");
    if (!db.ConnectionStatus())
        return logs;
    const auto rows = db.DatasArray();
    for (long r = 0; r < rows->Count(1); ++r)
        logs.emplace_back(rows->Value(r, 0).ToString(), rows->Value(r, 1).ToInt64());
    return logs;
}

std::string StatePath(const std::string& folder) {
    return folder + "chain.ini";
}

} // namespace

Result<std::string> WriteClientSettings(const std::string& name) {
    const std::string path = Globals::AppPath + "Temp/" + name;
    CreateFolderPath(Globals::AppPath + "Temp/");
    const std::string text = "[client]\nuser=" + std::string(kBackOfficeUser) +
                             "\npassword=" + kBackOfficePassword +
                             "\nhost=" + GetSetting("MySQL", "MySQLHost", "127.0.0.1") +
                             "\nport=" + std::to_string(ConfiguredMySQLPort()) + "\n";
    if (auto written = ReplaceFileWhole(path, text, 0600); !written)
        return Result<std::string>::Failure(written.error());
    return path;
}

namespace {

// A replica id of its own for this folder's stream, stable from one start to the next.
long StreamServerId(const std::string& folder) {
    return 100000 + static_cast<long>(std::hash<std::string>{}(folder) % 800000);
}

// Where the last whole event of a copied file begins and ends; nothing when it holds no more
// than its opening events (the format description and the GTID list).
std::optional<std::pair<long long, long long>> LastEvent(const std::string& path) {
    const auto bytes = ReadWholeFile(path);
    if (!bytes || bytes->size() < 4 + 19)
        return std::nullopt;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
    auto length = [&](size_t at) {
        return static_cast<size_t>(data[at + 9]) | static_cast<size_t>(data[at + 10]) << 8 |
               static_cast<size_t>(data[at + 11]) << 16 | static_cast<size_t>(data[at + 12]) << 24;
    };
    size_t at = 4, last = 0;
    int events = 0;
    while (at + 19 <= bytes->size() && length(at) >= 19 && at + length(at) <= bytes->size()) {
        last = at;
        at += length(at);
        ++events;
    }
    if (events <= 2)
        return std::nullopt;
    return std::make_pair(static_cast<long long>(last), static_cast<long long>(at));
}

// Whether the server's file of that name is the one copied: an event of the same length
// begins where the copy's last whole event begins. A server that began its numbering again
// and has grown past the copy's numbers has files of the same names with other events.
bool ServerHoldsTheCopiedFile(clsDataBase& db, const BinlogFile& copied) {
    const auto last = LastEvent(copied.path);
    if (!last)
        return true; // nothing to tell them apart by
    db.CreatDatasArray("SHOW BINLOG EVENTS IN '" + SQLEscape(copied.name) + "' FROM " +
                       std::to_string(last->first) + " LIMIT 1;");
    if (!db.ConnectionStatus()) {
        // (1220: "Wrong offset": no event begins there in the server's file.)
        const std::string why = db.LastError().Text();
        if (why.find("(1220)") != std::string::npos)
            return false;
        WriteProgramLog("binlog copy: the server's " + copied.name +
                        " cannot be compared with the copy (" + why + "); taken as the same");
        return true;
    }
    if (db.DatasArray()->Count(1) == 0)
        return false;
    return db.DatasArrayValue(0, 1).ToInt64() == last->first &&
           db.DatasArrayValue(0, 4).ToInt64() == last->second;
}

void SayGap(const std::string& chain, const std::string& text) {
    WriteProgramLog("binlog copy: GAP in " + chain + ": " + text);
    std::FILE* f = std::fopen((chain + "GAPS.txt").c_str(), "ab");
    if (f) {
        const std::string line = DateTime::Now().StampText() + " " + text + "\n";
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
    RecordOutcome("BinlogCopy", {{"LastGap", DateTime::Now().StampText() + " " + text},
                                 {"LastGapTime", DateTime::Now().StampText()}});
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

bool OnTheServersDataDisk(const std::string& folder) {
    DataBase().CreatDatasArray("SELECT @@datadir;");
    if (!DataBase().ConnectionStatus() || DataBase().DatasArray()->Count(1) == 0)
        return false;
    const std::string datadir = DataBase().DatasArrayValue(0, 0).ToString();
    std::error_code ec;
    std::filesystem::path there = folder;
    while (!std::filesystem::exists(there, ec) && there.has_relative_path())
        there = there.parent_path();
    struct stat data {
    }, copied{};
    return ::stat(datadir.c_str(), &data) == 0 && ::stat(there.c_str(), &copied) == 0 &&
           data.st_dev == copied.st_dev;
}

void NoteLiveDatabaseReplaced(clsDataBase& admin) {
    const std::string folder = BinlogFolder(BackupFolder());
    const std::string chain = folder.empty() ? std::string() : CurrentChain(folder);
    if (chain.empty())
        return;
    admin.CreatDatasArray("SHOW MASTER STATUS;");
    if (!admin.ConnectionStatus() || admin.DatasArray()->Count(1) == 0)
        return;
    const std::string file = admin.DatasArrayValue(0, 0).ToString();
    admin.SQLExecute("FLUSH BINARY LOGS;");
    if (std::FILE* f = std::fopen((chain + "BREAKS.txt").c_str(), "ab")) {
        const std::string line = file + "\n";
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
    SayGap(chain, "the live database was replaced by a restore after " + file +
                      "; the log before it cannot be replayed past it");
}

std::vector<std::string> ChainBreaks(const std::string& chainFolder) {
    std::vector<std::string> breaks;
    std::istringstream lines(ReadWholeFile(chainFolder + "BREAKS.txt").value_or(""));
    for (std::string line; std::getline(lines, line);)
        if (!TrimSpaces(line).empty())
            breaks.push_back(TrimSpaces(line));
    return breaks;
}

bool BinlogGapSinceLastGoodBackup() {
    const std::string gap = JobOutcome::Read("BinlogCopy")["LastGapTime"];
    return !gap.empty() && gap >= BackupOutcome::Read().lastGoodTime;
}

std::string CurrentChain(const std::string& folder) {
    const std::string name = IniFile::Read(StatePath(folder), "Chain", "Current");
    return name.empty() ? std::string() : WithSlash(folder) + name + "/";
}

std::vector<BinlogFile> ChainFiles(const std::string& chainFolder) {
    std::map<long, BinlogFile> files;
    for (const std::string& dir : {chainFolder, chainFolder + ".incoming/"}) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec)) {
            if (!e.is_regular_file(ec))
                continue;
            BinlogFile f;
            f.name = e.path().filename().string();
            const long n = FileNumber(f.name);
            if (n < 0)
                continue;
            f.path = e.path().string();
            f.size = static_cast<long long>(e.file_size(ec));
            auto it = files.find(n);
            if (it == files.end() || it->second.size < f.size)
                files[n] = f;
        }
    }
    std::vector<BinlogFile> ordered;
    for (auto& [n, f] : files)
        ordered.push_back(f);
    return ordered;
}

void SealFinished(const std::string& chain, const std::string& name) {
    const std::string file = chain + name;
    const std::string record = chain + "files.ini";
    // Its events' checksums, by MariaDB's own reader.
    const int checked =
        RunProgramAndWait(GetSetting("Monitor", "BinlogProgram", "mariadb-binlog"),
                          {"--verify-binlog-checksum", "--result-file=/dev/null", file}, "", "",
                          std::chrono::seconds(300));
    const auto span = BinlogEventSpan(file);
    auto stamp = [](std::time_t t) {
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
        return std::string(text);
    };
    OutcomeValues values = {{"Size", std::to_string(FileLength(file))},
                            {"Checked", checked == 0 ? "good" : "FAILED"}};
    if (span) {
        values.push_back({"FirstEvent", stamp(span->first)});
        values.push_back({"LastEvent", stamp(span->second)});
    }
    if (checked != 0) {
        WriteProgramLog("binlog copy: " + file +
                        " FAILED its checksum check; it is kept but not "
                        "sent anywhere");
        IniFile::WriteMany(record, name, values);
        return;
    }
    // Packed beside it (encrypted with the archives' password), tested before it goes anywhere.
    const auto password = ConfiguredArchivePassword();
    const std::string packed = file + ".7z";
    bool ok = false;
    if (password) {
        const auto outcome =
            RunSevenZip({"a", "-t7z", "-mx=5", "-y", packed + ".partial", file}, *password);
        ok = outcome.status == 0 && SevenZipTest(packed + ".partial", *password) == 0 &&
             IsWhole7zArchive(packed + ".partial") &&
             ::rename((packed + ".partial").c_str(), packed.c_str()) == 0;
    }
    if (!ok) {
        std::remove((packed + ".partial").c_str());
        WriteProgramLog("binlog copy: " + name + " could not be packed" +
                        (password ? std::string() : ": " + password.error()));
        values.push_back({"Packed", "FAILED"});
        IniFile::WriteMany(record, name, values);
        return;
    }
    values.push_back({"Packed", packed});
    // Onto the backup drive, and to the off-site command.
    const std::string label = OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "");
    if (!TrimSpaces(label).empty()) {
        const std::string chainName = fs::path(chain.substr(0, chain.size() - 1)).filename();
        for (const auto& mount : DrivesWithLabel(label)) {
            const std::string target = WithSlash(mount) + "ZentaBackup/Binlog/" + chainName + "/";
            if (!CreateFolderPath(target))
                continue;
            const auto copied = CopyFileSafely(packed, target + name + ".7z");
            values.push_back(
                {"Drive", copied ? target + name + ".7z" : "FAILED: " + copied.error()});
        }
    }
    IniFile::WriteMany(record, name, values);
    const std::string command = GetSetting("Monitor", "PostBinlogCommand", "");
    if (!TrimSpaces(command).empty() ||
        !TrimSpaces(GetSetting("Monitor", "PostBackupCommand", "")).empty())
        RunPostBackupCommand(packed, command, "OffsiteBinlogCopy");
}

void BinlogCopier::Stop() {
    child_.Stop();
}

void BinlogCopier::MoveFinished(const std::string& chain) {
    const std::string incoming = chain + ".incoming/";
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(incoming, ec))
        if (FileNumber(e.path().filename().string()) >= 0)
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return FileNumber(a) < FileNumber(b);
    });
    // Every file but the newest is finished: the stream has gone past it.
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        const std::string from = incoming + names[i], to = chain + names[i];
        if (FileExists(to) && FileLength(to) > FileLength(from)) {
            // A restarted stream that stopped short: the longer copy stays.
            WriteProgramLog("binlog copy: kept " + to + " (" + std::to_string(FileLength(to)) +
                            " bytes) over a shorter copy of " + std::to_string(FileLength(from)));
            fs::remove(from, ec);
            continue;
        }
        fs::rename(from, to, ec);
        if (!ec) {
            WriteProgramLog("binlog copy: " + names[i] + " finished (" +
                            std::to_string(FileLength(to)) + " bytes)");
            SealFinished(chain, names[i]);
        }
    }
}

Result<Done> BinlogCopier::StartStream(const std::string& folder) {
    auto failed = [](const std::string& why) { return Result<Done>::Failure(why); };
    clsDataBase& db = DataBase();
    const auto logs = ServerLogs(db);
    if (logs.empty())
        return failed("the server lists no binary log");
    std::string chain = CurrentChain(folder);
    std::vector<BinlogFile> have = chain.empty() ? std::vector<BinlogFile>{} : ChainFiles(chain);
    auto serverSize = [&](const std::string& name) -> long long {
        for (const auto& [n, size] : logs)
            if (n == name)
                return size;
        return -1;
    };
    std::string from = logs.front().first;
    bool newChain = chain.empty();
    if (!have.empty()) {
        const BinlogFile& newest = have.back();
        const long long size = serverSize(newest.name);
        const long serverNewest = FileNumber(logs.back().first);
        const bool same = size >= 0 && size >= newest.size && ServerHoldsTheCopiedFile(db, newest);
        if (same) {
            from = newest.name; // where the copy ends
        } else if (size >= 0 || serverNewest < FileNumber(newest.name)) {
            // The server began its numbering again: a new chain beside the old one.
            newChain = true;
            WriteProgramLog("binlog copy: the server's logs begin again (" + logs.front().first +
                            "); a new chain is started, " + chain + " stays as it is");
        } else {
            // The server purged files the copy still needed.
            SayGap(chain, "after " + newest.name + " (" + std::to_string(newest.size) +
                              " bytes) the server had purged up to " + logs.front().first);
        }
        // Exited while the server kept the file: an earlier stream's partial copy may have
        // been cut by a kill; the restarted stream writes it anew beside the kept copy.
        if (!newChain && from == newest.name) {
            const std::string partial = chain + ".incoming/" + newest.name;
            if (FileExists(partial) && (!FileExists(chain + newest.name) ||
                                        FileLength(chain + newest.name) < FileLength(partial))) {
                std::error_code ec;
                fs::rename(partial, chain + newest.name, ec);
            }
        }
    }
    if (newChain) {
        std::string name = "chain-" + ArchiveStamp(DateTime::Now());
        for (int n = 2; IsFolder(WithSlash(folder) + name); ++n)
            name = "chain-" + ArchiveStamp(DateTime::Now()) + "-" + std::to_string(n);
        chain = WithSlash(folder) + name + "/";
        if (!CreateFolderPath(chain + ".incoming/"))
            return failed("the folder " + chain + " cannot be made");
        if (!IniFile::Write(StatePath(folder), "Chain", "Current", name))
            return failed("the copy's state " + StatePath(folder) + " cannot be written");
        from = logs.front().first;
    }
    if (!CreateFolderPath(chain + ".incoming/"))
        return failed("the folder " + chain + " cannot be made");
    const auto settings = WriteClientSettings("binlog-client.cnf");
    if (!settings)
        return failed(settings.error());
    const std::string program = GetSetting("Monitor", "BinlogProgram", "mariadb-binlog");
    if (!child_.Start(program,
                      {"--defaults-extra-file=" + *settings, "--read-from-remote-server", "--raw",
                       "--stop-never",
                       "--stop-never-slave-server-id=" + std::to_string(StreamServerId(folder)),
                       "--result-file=" + chain + ".incoming/", from},
                      Globals::AppPath + "Log/binlog-copy.log"))
        return failed(ProgramStartError());
    chain_ = chain;
    WriteProgramLog("binlog copy: streaming " + from + " on into " + chain);
    RecordOutcome("BinlogCopy", {{"Time", DateTime::Now().StampText()},
                                 {"State", "streaming"},
                                 {"Chain", chain},
                                 {"From", from}});
    return Done{};
}

void BinlogCopier::Seal() {
    const long minutes = GetSettingNumber("Monitor", "BinlogSealMinutes", 5, 1);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSeal_ < std::chrono::minutes(minutes))
        return;
    lastSeal_ = now;
    clsDataBase& db = DataBase();
    db.CreatDatasArray("SHOW MASTER STATUS;");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return;
    const std::string position =
        db.DatasArrayValue(0, 0).ToString() + ":" + db.DatasArrayValue(0, 1).ToString();
    if (position == sealedAt_)
        return; // nothing written since: no empty file
    db.SQLExecute("FLUSH BINARY LOGS;");
    if (db.ConnectionStatus())
        sealedAt_ = position;
}

void BinlogCopier::Tick() {
    if (!ServerIsLocal || !DataBase().ConnectionStatus())
        return;
    const std::string folder = BinlogFolder(BackupFolder());
    if (folder.empty()) {
        child_.Stop();
        return;
    }
    const auto settings = ReadBinaryLogSettings(DataBase());
    if (!settings || !settings->logBin) {
        child_.Stop();
        return;
    }
    if (!chain_.empty())
        MoveFinished(chain_);
    if (child_.Running()) {
        Seal();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastStart_ < kRestartPause)
        return;
    lastStart_ = now;
    if (!chain_.empty()) {
        WriteProgramLog("binlog copy: the stream ended (status " +
                        std::to_string(child_.exitStatus()) +
                        "); it starts again where the copy "
                        "ends");
        MoveFinished(chain_);
    }
    if (const auto started = StartStream(folder); !started) {
        WriteProgramLog("binlog copy: not started: " + started.error());
        RecordOutcome(
            "BinlogCopy",
            {{"Time", DateTime::Now().StampText()}, {"State", "down"}, {"Why", started.error()}});
    }
}

} // namespace zenta
