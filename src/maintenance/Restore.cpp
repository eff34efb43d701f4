#include "Restore.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "AutoBackupData.h"
#include "BackupAll.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "IniFile.h"
#include "JobOutcomes.h"
#include "Metrics.h"
#include "Opcion.h"
#include "Settings.h"
#include "SevenZip.h"
#include "Text.h"
#include "TodoSobreMySQLServer.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zenta {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const std::string& identifier) {
    return "`" + ReplaceAll(identifier, "`", "``") + "`";
}

bool IsPlainName(const std::string& name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '_' && c != '$')
            return false;
    return true;
}

// The tables STRU.SQL creates, in its order.
std::vector<std::string> StructureTables(const std::string& text) {
    std::vector<std::string> tables;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("CREATE TABLE ", 0) != 0)
            continue;
        std::string name = line.substr(13);
        name = name.substr(0, name.find_first_of(" (\r"));
        if (!name.empty())
            tables.push_back(name);
    }
    return tables;
}

// The figures an archive recorded, by table.
std::map<std::string, TableFigures> RecordedFigures(const std::string& path) {
    std::map<std::string, TableFigures> figures;
    std::istringstream in(ReadWholeFile(path).value_or(""));
    std::string line;
    bool inTables = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inTables = line == "[Tables]";
            continue;
        }
        const size_t eq = line.find('=');
        if (!inTables || eq == std::string::npos)
            continue;
        TableFigures f;
        f.table = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        const size_t comma = value.find(',');
        f.rows = std::atoll(value.substr(0, comma).c_str());
        if (comma != std::string::npos && comma + 1 < value.size())
            f.checksum = std::atoll(value.substr(comma + 1).c_str());
        figures[f.table] = f;
    }
    return figures;
}

// A private folder the archive is unpacked into, removed with everything in it at the end.
class UnpackFolder {
  public:
    UnpackFolder() {
        path_ = Globals::AppPath + "Temp/Restore-" + std::to_string(::getpid()) + "/";
        DeleteFolderTree(path_);
        CreateFolderPath(path_);
        ::chmod(path_.c_str(), 0700);
    }
    ~UnpackFolder() { DeleteFolderTree(path_); }
    UnpackFolder(const UnpackFolder&) = delete;
    UnpackFolder& operator=(const UnpackFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// A connection of its own to one database on the shop's server, on the back-office account.
// A loader sends every row of the archive through it: on the database computer itself the
// protocol's compression only burns the cores the server needs (it took a third of a restore's
// time), so a loader's connection goes without it there.
bool Open(clsDataBase& db, const std::string& database, bool loader = false) {
    const std::string host = GetSetting("MySQL", "MySQLHost", "localhost");
    db.Connect(host, ConfiguredMySQLPort(), database, kBackOfficeUser, kBackOfficePassword);
    if (!db.ConnectionStatus() || !loader || !IsMySQLServerLocal(host))
        return db.ConnectionStatus();
    const std::string compressed = ";Option=" + std::to_string(clsDataBase::kDriverOptions);
    std::string plain = db.ConnectionString();
    const size_t at = plain.find(compressed);
    if (at == std::string::npos)
        return true;
    plain.replace(at, compressed.size(),
                  ";Option=" + std::to_string(clsDataBase::kDriverOptions &
                                              ~clsDataBase::kCompressedProtocolOption));
    db.ConnectionString(plain);
    return db.ConnectionStatus();
}

bool DatabaseExists(clsDataBase& db, const std::string& name) {
    db.CreatDatasArray("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = '" +
                       SQLEscape(name) + "';");
    return db.ConnectionStatus() && db.DatasArray()->Count(1) > 0 &&
           db.DatasArrayValue(0, 0).ToInt64() > 0;
}

std::vector<std::string> TablesOf(clsDataBase& db, const std::string& database) {
    std::vector<std::string> tables;
    db.CreatDatasArray("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                       SQLEscape(database) + "' ORDER BY TABLE_NAME;");
    if (!db.ConnectionStatus())
        return tables;
    const auto rows = db.DatasArray();
    for (long r = 0; r < rows->Count(1); ++r)
        tables.push_back(rows->Value(r, 0).ToString());
    return tables;
}

// "yyyymmddhhnnss" of an archive's name, or of now.
std::string StampOf(const std::string& archive) {
    if (const auto parsed = ParseArchiveName(archive))
        return parsed->stamp;
    return ArchiveStamp(DateTime::Now());
}

} // namespace

long long CountOutfileRows(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return -1;
    long long rows = 0;
    bool escaped = false, cr = false;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        const std::streamsize n = in.gcount();
        for (std::streamsize i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (escaped) {
                escaped = false;
                cr = false;
                continue;
            }
            if (c == '\\') {
                escaped = true;
                cr = false;
            } else if (c == '\r') {
                cr = true;
            } else {
                if (c == '\n' && cr)
                    ++rows;
                cr = false;
            }
        }
    }
    return rows;
}

RestoreReport RestoreArchive(const std::string& archive, const RestoreOptions& options) {
    RestoreReport report;
    auto say = [&](const std::string& line) {
        if (options.progress)
            options.progress(line);
    };
    auto fail = [&](const std::string& why) {
        report.ok = false;
        report.error = why;
        return report;
    };
    if (!FileExists(archive))
        return fail("there is no archive " + archive);

    const std::string target =
        options.intoLive
            ? std::string(clsDataBase::kDefaultDatabase)
            : (options.database.empty() ? "zentasupermarket_restore_" + StampOf(archive)
                                        : options.database);
    if (!IsPlainName(target))
        return fail("\"" + target +
                    "\" is not a database name this command uses (letters, "
                    "digits and _ only)");
    if (!options.intoLive && target == clsDataBase::kDefaultDatabase)
        return fail("the live database is only restored into with --into-live, which backs it "
                    "up first");

    const auto password = options.passwordFile.empty() ? ConfiguredArchivePassword()
                                                       : ReadPasswordFile(options.passwordFile);
    if (!password)
        return fail(password.error());
    // Unpacking checks every file's CRC: a damaged archive fails here (a separate test would
    // read it all twice).
    say("unpacking " + archive);
    UnpackFolder unpacked;
    if (!IsWhole7zArchive(archive))
        return fail("the archive is damaged or not a 7z archive (it was cut short or is "
                    "another kind of file): " +
                    archive);
    const SevenZipOutcome unpacking =
        RunSevenZip({"x", "-y", "-aoa", "-o" + unpacked.path(), archive}, *password);
    if (unpacking.status != 0) {
        if (unpacking.WrongPassword())
            return fail(password->empty()
                            ? "the archive is encrypted: give its password (ArchivePassword or "
                              "ArchivePasswordFile in [Monitor] of zentamarket.ini, or "
                              "--password-file FILE)"
                            : "the archive's password is not the one given (" +
                                  std::string(options.passwordFile.empty()
                                                  ? "ArchivePassword / ArchivePasswordFile"
                                                  : options.passwordFile) +
                                  "); nothing was restored");
        return fail("the archive is damaged (7-Zip could not unpack it whole): " + archive);
    }
    const std::string folder = unpacked.path();
    if (!FileExists(folder + "MarketBackup.ini") || !FileExists(folder + "STRU.SQL") ||
        IniFile::Read(folder + "MarketBackup.ini", "Version", "Versoin").empty())
        return fail("this is not a backup of the suite's database (no MarketBackup.ini with its "
                    "format version, or no STRU.SQL)");
    const std::vector<std::string> tables =
        StructureTables(ReadWholeFile(folder + "STRU.SQL").value_or(""));
    if (tables.empty())
        return fail("the archive's STRU.SQL holds no table");
    const bool recorded = FileExists(folder + kTableChecksFile);
    const auto figures = RecordedFigures(folder + kTableChecksFile);
    report.recorded = recorded;
    for (const auto& t : tables) {
        const bool exported =
            recorded ? figures.count(t) > 0 : AsciiLowerCase(t) != "articulodibujo";
        if (exported && !FileExists(folder + t + ".dat"))
            return fail("the archive lacks the data file of the table " + t + " (" + t + ".dat)");
    }

    // Connecting may replace the global connection object: take it only afterwards.
    if (!EnsureConnected())
        return fail("the database server cannot be reached: " + DataBase().LastError().Text());
    clsDataBase& admin = DataBase();
    if (!options.intoLive && DatabaseExists(admin, target))
        return fail("the database " + target +
                    " exists already; name another one with --database NAME");
    const std::string staging = target + "_restoring";
    if (!IsPlainName(staging))
        return fail("the database name " + target + " is too long");
    admin.SQLExecute("DROP DATABASE IF EXISTS " + Quoted(staging) + ";");
    admin.SQLExecute("CREATE DATABASE " + Quoted(staging) + " CHARACTER SET utf8mb4;");
    if (!admin.ConnectionStatus())
        return fail("the staging database " + staging +
                    " cannot be created: " + admin.LastError().Text());
    // From here on a failure drops the staging database: nothing half-restored stays.
    auto abandon = [&](const std::string& why) {
        admin.SQLExecute("DROP DATABASE IF EXISTS " + Quoted(staging) + ";");
        return fail(why);
    };

    clsDataBase db;
    if (!Open(db, staging))
        return abandon("cannot connect to the staging database: " + db.LastError().Text());
    say("creating " + std::to_string(tables.size()) + " tables");
    db.SQLExecuteFromFile(folder + "STRU.SQL");
    const auto made = TablesOf(db, staging);
    for (const auto& t : tables)
        if (std::find(made.begin(), made.end(), t) == made.end())
            return abandon("the table " + t + " could not be created from STRU.SQL (see " +
                           clsDataBase::NoRunSQLLogPath() + ")");
    // Plain secondary indexes are built once after the data instead of row by row: the
    // definitions are taken from the server as it made them and given back unchanged.
    std::map<std::string, std::vector<std::string>> deferred; // table -> "KEY ... (...)"
    for (const auto& t : tables) {
        if (FileLength(folder + t + ".dat") < (1 << 20))
            continue;
        db.CreatDatasArray("SHOW CREATE TABLE " + Quoted(t) + ";");
        if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
            continue;
        std::istringstream definition(db.DatasArrayValue(0, 1).ToString());
        std::string line, drops;
        while (std::getline(definition, line)) {
            const size_t start = line.find_first_not_of(' ');
            if (start == std::string::npos || line.compare(start, 5, "KEY `") != 0)
                continue;
            std::string key = line.substr(start);
            if (!key.empty() && key.back() == ',')
                key.pop_back();
            const size_t nameEnd = key.find('`', 5);
            if (nameEnd == std::string::npos)
                continue;
            drops += (drops.empty() ? "" : ", ") + std::string("DROP INDEX ") +
                     key.substr(4, nameEnd - 3);
            deferred[t].push_back(key);
        }
        if (!drops.empty()) {
            db.SQLExecute("ALTER TABLE " + Quoted(t) + " " + drops + ";");
            if (!db.ConnectionStatus())
                deferred.erase(t);
        }
    }
    // Two tables at a time, the largest first, each on a connection of its own (the server
    // loads one table per core); checks a restore does not need are off for these sessions:
    // the data were consistent when they were exported.
    std::vector<std::string> order = tables;
    std::stable_sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
        return FileLength(folder + a + ".dat") > FileLength(folder + b + ".dat");
    });
    std::mutex lock;
    size_t next = 0;
    std::string failure;
    std::map<std::string, long long> loadedRows;
    // Connected here, not in the threads: connecting reads and may write the settings.
    clsDataBase loaders[2];
    for (auto& loader : loaders) {
        if (!Open(loader, staging, true))
            return abandon("cannot connect to the staging database: " + loader.LastError().Text());
        loader.SQLExecute("SET SESSION foreign_key_checks = 0, unique_checks = 0;");
    }
    auto worker = [&](clsDataBase& loader) {
        for (;;) {
            std::string t;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (!failure.empty() || next >= order.size())
                    return;
                t = order[next++];
                if (FileExists(folder + t + ".dat"))
                    say("loading " + t);
            }
            const std::string file = folder + t + ".dat";
            if (FileExists(file)) {
                loader.SQLExecute("LOAD DATA LOCAL INFILE '" + SQLEscape(file) + "' INTO TABLE " +
                                  Quoted(t) +
                                  " CHARACTER SET binary FIELDS TERMINATED BY ','  LINES "
                                  "TERMINATED BY '\\r\\n';");
                if (!loader.ConnectionStatus()) {
                    const std::string why = loader.LastError().Text();
                    std::lock_guard<std::mutex> guard(lock);
                    if (failure.empty())
                        failure = "the table " + t + " cannot be loaded: " + why +
                                  (why.find("local") != std::string::npos ||
                                           why.find("LOCAL") != std::string::npos
                                       ? " (the server must allow local files: local_infile=1)"
                                       : "");
                    return;
                }
            }
            loader.CreatDatasArray("SELECT COUNT(*) FROM " + Quoted(t) + ";");
            const long long rows = loader.ConnectionStatus() && loader.DatasArray()->Count(1) > 0
                                       ? loader.DatasArrayValue(0, 0).ToInt64()
                                       : -1;
            std::lock_guard<std::mutex> guard(lock);
            loadedRows[t] = rows;
        }
    };
    {
        std::thread second(worker, std::ref(loaders[1]));
        worker(loaders[0]);
        second.join();
    }
    if (!failure.empty())
        return abandon(failure);
    for (const auto& [t, keys] : deferred) {
        say("indexing " + t);
        std::string adds;
        for (const auto& key : keys)
            adds += (adds.empty() ? "ADD " : ", ADD ") + key;
        db.SQLExecute("ALTER TABLE " + Quoted(t) + " " + adds + ";");
        if (!db.ConnectionStatus())
            return abandon("the indexes of " + t + " cannot be built: " + db.LastError().Text());
    }
    for (const auto& t : tables) {
        TableFigures loaded;
        loaded.table = t;
        loaded.rows = loadedRows.count(t) ? loadedRows[t] : -1;
        report.tables.push_back(loaded);
        // What the archive says the table held: its recorded figures, else its file's rows.
        TableFigures expected;
        expected.table = t;
        if (recorded) {
            auto it = figures.find(t);
            if (it != figures.end())
                expected = it->second;
            else
                expected.rows = 0; // not exported (goods pictures left out)
        } else {
            expected.rows =
                FileExists(folder + t + ".dat") ? CountOutfileRows(folder + t + ".dat") : 0;
        }
        report.expected.push_back(expected);
    }

    // One statement moves every table: the target has all of them or none.
    std::string moves;
    auto move = [&](const std::string& from, const std::string& to, const std::string& t) {
        moves += (moves.empty() ? "" : ", ") + Quoted(from) + "." + Quoted(t) + " TO " +
                 Quoted(to) + "." + Quoted(t);
    };
    if (options.intoLive) {
        say("backing the live database up first");
        std::string backupFolder = BackupFolder(), label;
        BackupReport backup;
        BackupAll(backupFolder, label, &backup);
        if (!backup.complete)
            return abandon("the live database could not be backed up first; nothing restored");
        report.savedLive = "zentasupermarket_before_restore_" + StampOf("");
        admin.SQLExecute("CREATE DATABASE " + Quoted(report.savedLive) + " CHARACTER SET utf8mb4;");
        if (!admin.ConnectionStatus())
            return abandon("cannot create " + report.savedLive + ": " + admin.LastError().Text());
        for (const auto& t : TablesOf(admin, target))
            move(target, report.savedLive, t);
    } else {
        admin.SQLExecute("CREATE DATABASE " + Quoted(target) + " CHARACTER SET utf8mb4;");
        if (!admin.ConnectionStatus())
            return abandon("cannot create the database " + target + ": " +
                           admin.LastError().Text());
    }
    for (const auto& t : tables)
        move(staging, target, t);
    admin.SQLExecute("RENAME TABLE " + moves + ";");
    if (!admin.ConnectionStatus()) {
        const std::string why = admin.LastError().Text();
        if (!options.intoLive)
            admin.SQLExecute("DROP DATABASE IF EXISTS " + Quoted(target) + ";");
        else
            admin.SQLExecute("DROP DATABASE IF EXISTS " + Quoted(report.savedLive) + ";");
        return abandon("the restored tables cannot be moved into " + target + ": " + why);
    }
    admin.SQLExecute("DROP DATABASE IF EXISTS " + Quoted(staging) + ";");
    report.database = target;
    report.ok = true;
    WriteProgramLog(
        "restored " + archive + " into the database " + target +
        (report.savedLive.empty() ? "" : " (its tables before: " + report.savedLive + ")"));
    return report;
}

VerifyReport VerifyArchive(const std::string& archive,
                           const std::function<void(const std::string&)>& progress,
                           const std::string& passwordFile) {
    VerifyReport report;
    RestoreOptions options;
    options.database = "zentamarket_verify_" + std::to_string(::getpid());
    options.progress = progress;
    options.passwordFile = passwordFile;
    RestoreReport restored = RestoreArchive(archive, options);
    if (!restored.ok) {
        report.error = restored.error;
        return report;
    }
    report.recorded = restored.recorded;
    clsDataBase& db = DataBase();
    bool all = true;
    for (size_t i = 0; i < restored.tables.size(); ++i) {
        const TableFigures& expected = restored.expected[i];
        TableFigures found = restored.tables[i];
        if (expected.checksum != -1) {
            db.CreatDatasArray("CHECKSUM TABLE " + Quoted(restored.database) + "." +
                               Quoted(found.table) + ";");
            if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
                found.checksum = db.DatasArrayValue(0, 1).ToInt64();
        }
        if (expected.rows != found.rows ||
            (expected.checksum != -1 && expected.checksum != found.checksum))
            all = false;
        report.tables.push_back({expected, found});
    }
    db.SQLExecute("DROP DATABASE IF EXISTS " + Quoted(restored.database) + ";");
    report.ok = all;
    if (!all)
        report.error = "the restored tables differ from what the archive recorded";
    return report;
}

void AutoVerifyArchive() {
    if (!GetSettingBool("Monitor", "VerifyWeekly", "0"))
        return;
    const long long last = StampSeconds(OutcomeValue("Verify", "Time"));
    if (last > 0 && std::time(nullptr) - last < 7 * 24 * 3600)
        return;
    const std::string archive = OutcomeValue("Backup", "LastGoodArchive");
    if (archive.empty() || !FileExists(archive))
        return;
    const VerifyReport report = VerifyArchive(archive);
    std::string differing;
    for (const auto& [expected, found] : report.tables)
        if (expected.rows != found.rows ||
            (expected.checksum != -1 && expected.checksum != found.checksum))
            differing += (differing.empty() ? "" : ", ") + expected.table;
    const std::string why =
        report.ok ? std::string() : report.error + (differing.empty() ? "" : ": " + differing);
    WriteProgramLog("weekly verification of " + archive + ": " +
                    (report.ok ? "every table restores as it was made" : "FAILED, " + why));
    RecordOutcome("Verify", {{"Time", DateTime::Now().StampText()},
                             {"Result", report.ok ? "good" : "bad"},
                             {"Archive", archive},
                             {"Error", why}});
}

} // namespace zenta
