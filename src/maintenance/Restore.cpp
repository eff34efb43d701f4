#include "Restore.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "BinlogServer.h"
#include "Common.h"
#include "DatabaseTools.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "IniFile.h"
#include "JobNotes.h"
#include "JobOutcomes.h"
#include "LiveSwap.h"
#include "LocalTime.h"
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
#include <variant>

namespace zenta {

namespace fs = std::filesystem;

namespace {

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
    return ParseFigures(ReadWholeFile(path).value_or(""));
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
    const std::string host = ConfiguredMySQLHost();
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

namespace {

using Progress = std::function<void(const std::string&)>;

// A failed step: why, and what kind of failure it is.
struct StepFailure {
    RestoreFailure kind;
    std::string why;
};
template <class T> using Step = std::variant<T, StepFailure>;

// The database a restore goes into.
Step<std::string> RestoreTarget(const std::string& archive, const RestoreOptions& options) {
    const std::string target =
        options.intoLive
            ? std::string(clsDataBase::kDefaultDatabase)
            : (options.database.empty() ? "zentasupermarket_restore_" + StampOf(archive)
                                        : options.database);
    if (!IsPlainName(target))
        return StepFailure{RestoreFailure::Target,
                           "\"" + target +
                               "\" is not a database name this command uses (letters, digits "
                               "and _ only)"};
    if (!options.intoLive && target == clsDataBase::kDefaultDatabase)
        return StepFailure{RestoreFailure::Target,
                           "the live database is only restored into with --into-live, which "
                           "backs it up first"};
    if (!IsPlainName(target + "_restoring"))
        return StepFailure{RestoreFailure::Target, "the database name " + target + " is too long"};
    return target;
}

// What an unpacked archive holds.
struct ArchiveContents {
    std::string folder;
    std::vector<std::string> tables; // as STRU.SQL creates them
    bool recorded = false;           // it carries its tables' figures
    std::map<std::string, TableFigures> figures;
};

// Unpacks the archive (which checks every file's CRC: a damaged archive fails here, and a
// separate test would read it all twice) and checks that it is a whole backup of the suite.
Step<ArchiveContents> Unpack(const std::string& archive, const RestoreOptions& options,
                             const UnpackFolder& into) {
    const auto password = options.passwordFile.empty() ? ConfiguredArchivePassword()
                                                       : ReadPasswordFile(options.passwordFile);
    if (!password)
        return StepFailure{RestoreFailure::Password, password.error()};
    if (!IsWhole7zArchive(archive))
        return StepFailure{RestoreFailure::Damaged,
                           "the archive is damaged or not a 7z archive (it was cut short or is "
                           "another kind of file): " +
                               archive};
    const SevenZipOutcome unpacking =
        RunSevenZip({"x", "-y", "-aoa", "-o" + into.path(), archive}, *password);
    if (unpacking.status != 0) {
        if (unpacking.WrongPassword())
            return StepFailure{
                RestoreFailure::Password,
                password->empty()
                    ? "the archive is encrypted: give its password (ArchivePassword or "
                      "ArchivePasswordFile in [Monitor] of zentamarket.ini, or --password-file "
                      "FILE)"
                    : "the archive's password is not the one given (" +
                          std::string(options.passwordFile.empty()
                                          ? "ArchivePassword / ArchivePasswordFile"
                                          : options.passwordFile) +
                          "); nothing was restored"};
        return StepFailure{RestoreFailure::Damaged,
                           "the archive is damaged (7-Zip could not unpack it whole): " + archive};
    }
    ArchiveContents contents;
    contents.folder = into.path();
    const std::string& folder = contents.folder;
    if (!FileExists(folder + "MarketBackup.ini") || !FileExists(folder + "STRU.SQL") ||
        IniFile::Read(folder + "MarketBackup.ini", "Version", "Versoin").empty())
        return StepFailure{RestoreFailure::Foreign,
                           "this is not a backup of the suite's database (no MarketBackup.ini "
                           "with its format version, or no STRU.SQL)"};
    contents.tables = StructureTables(ReadWholeFile(folder + "STRU.SQL").value_or(""));
    if (contents.tables.empty())
        return StepFailure{RestoreFailure::Damaged, "the archive's STRU.SQL holds no table"};
    contents.recorded = FileExists(folder + kTableChecksFile);
    contents.figures = RecordedFigures(folder + kTableChecksFile);
    for (const auto& t : contents.tables) {
        const bool exported = contents.recorded ? contents.figures.count(t) > 0
                                                : AsciiLowerCase(t) != "articulodibujo";
        if (exported && !FileExists(folder + t + ".dat"))
            return StepFailure{RestoreFailure::Damaged, "the archive lacks the data file of the "
                                                        "table " +
                                                            t + " (" + t + ".dat)"};
    }
    return contents;
}

// The database a restore loads into before anything reaches the target: dropped when the
// guard goes out of scope, unless the tables were moved out of it (Kept). Nothing
// half-restored ever stays behind.
class StagingDatabase {
  public:
    StagingDatabase(clsDataBase& admin, std::string name) : admin_(admin), name_(std::move(name)) {}
    ~StagingDatabase() {
        if (created_)
            admin_.SQLExecute("DROP DATABASE IF EXISTS " + QuotedName(name_) + ";");
    }
    StagingDatabase(const StagingDatabase&) = delete;
    StagingDatabase& operator=(const StagingDatabase&) = delete;
    Result<Done> Create() {
        admin_.SQLExecute("DROP DATABASE IF EXISTS " + QuotedName(name_) + ";");
        admin_.SQLExecute("CREATE DATABASE " + QuotedName(name_) + " CHARACTER SET utf8mb4;");
        if (!admin_.ConnectionStatus())
            return Result<Done>::Failure("the staging database " + name_ +
                                         " cannot be created: " + admin_.LastError().Text());
        created_ = true;
        return Done{};
    }
    const std::string& name() const { return name_; }

  private:
    clsDataBase& admin_;
    std::string name_;
    bool created_ = false;
};

// The structures of STRU.SQL, every table of the archive made.
Result<Done> CreateTables(clsDataBase& db, const std::string& staging,
                          const ArchiveContents& contents) {
    db.SQLExecuteFromFile(contents.folder + "STRU.SQL");
    const auto made = TablesOf(db, staging);
    for (const auto& t : contents.tables)
        if (std::find(made.begin(), made.end(), t) == made.end())
            return Result<Done>::Failure("the table " + t +
                                         " could not be created from STRU.SQL "
                                         "(see " +
                                         clsDataBase::NoRunSQLLogPath() + ")");
    return Done{};
}

// Plain secondary indexes of large tables are built once after the data instead of row by
// row: the definitions are taken from the server as it made them, dropped now and given back
// unchanged by BuildDeferredIndexes. Table -> "KEY ... (...)".
using DeferredIndexes = std::map<std::string, std::vector<std::string>>;
DeferredIndexes DeferIndexes(clsDataBase& db, const ArchiveContents& contents) {
    DeferredIndexes deferred;
    for (const auto& t : contents.tables) {
        if (FileLength(contents.folder + t + ".dat") < (1 << 20))
            continue;
        db.CreatDatasArray("SHOW CREATE TABLE " + QuotedName(t) + ";");
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
            db.SQLExecute("ALTER TABLE " + QuotedName(t) + " " + drops + ";");
            if (!db.ConnectionStatus())
                deferred.erase(t);
        }
    }
    return deferred;
}

Result<Done> BuildDeferredIndexes(clsDataBase& db, const DeferredIndexes& deferred,
                                  const Progress& say) {
    for (const auto& [t, keys] : deferred) {
        say("indexing " + t);
        std::string adds;
        for (const auto& key : keys)
            adds += (adds.empty() ? "ADD " : ", ADD ") + key;
        db.SQLExecute("ALTER TABLE " + QuotedName(t) + " " + adds + ";");
        if (!db.ConnectionStatus())
            return Result<Done>::Failure("the indexes of " + t +
                                         " cannot be built: " + db.LastError().Text());
    }
    return Done{};
}

// One table's data file into it, byte for byte; its rows afterwards (-1 when they cannot be
// counted), or why it could not be loaded.
Result<long long> LoadTable(clsDataBase& loader, const std::string& folder, const std::string& t) {
    const std::string file = folder + t + ".dat";
    if (FileExists(file)) {
        loader.SQLExecute("LOAD DATA LOCAL INFILE '" + SQLEscape(file) + "' INTO TABLE " +
                          QuotedName(t) +
                          " CHARACTER SET binary FIELDS TERMINATED BY ','  LINES TERMINATED BY "
                          "'\\r\\n';");
        if (!loader.ConnectionStatus()) {
            const std::string why = loader.LastError().Text();
            return Result<long long>::Failure(
                "the table " + t + " cannot be loaded: " + why +
                (why.find("local") != std::string::npos || why.find("LOCAL") != std::string::npos
                     ? " (the server must allow local files: local_infile=1)"
                     : ""));
        }
    }
    loader.CreatDatasArray("SELECT COUNT(*) FROM " + QuotedName(t) + ";");
    return loader.ConnectionStatus() && loader.DatasArray()->Count(1) > 0
               ? loader.DatasArrayValue(0, 0).ToInt64()
               : -1LL;
}

// Loads every data file byte for byte, two tables at a time, the largest first, each loader on
// a connection of its own (the server loads one table per core); checks a restore does not
// need are off for these sessions: the data were consistent when they were exported. The rows
// of each table afterwards.
Result<std::map<std::string, long long>>
LoadTables(const std::string& staging, const ArchiveContents& contents, const Progress& say) {
    using Loaded = Result<std::map<std::string, long long>>;
    const std::string& folder = contents.folder;
    std::vector<std::string> order = contents.tables;
    std::stable_sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
        return FileLength(folder + a + ".dat") > FileLength(folder + b + ".dat");
    });
    std::mutex lock;
    size_t next = 0;
    std::string failure;
    std::map<std::string, long long> rows;
    // Connected here, not in the threads: connecting reads and may write the settings.
    clsDataBase loaders[2];
    for (auto& loader : loaders) {
        if (!Open(loader, staging, true))
            return Loaded::Failure("cannot connect to the staging database: " +
                                   loader.LastError().Text());
        loader.SQLExecute(
            "SET SESSION foreign_key_checks = 0, unique_checks = 0, sql_log_bin = 0;");
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
            const auto loaded = LoadTable(loader, folder, t);
            std::lock_guard<std::mutex> guard(lock);
            if (!loaded) {
                if (failure.empty())
                    failure = loaded.error();
                return;
            }
            rows[t] = *loaded;
        }
    };
    {
        std::thread second(worker, std::ref(loaders[1]));
        worker(loaders[0]);
        second.join();
    }
    if (!failure.empty())
        return Loaded::Failure(failure);
    return rows;
}

// The archive's tables made in the staging database and loaded, their indexes built after the
// rows; the rows of each table.
Result<std::map<std::string, long long>>
FillStaging(const std::string& staging, const ArchiveContents& contents, const Progress& say) {
    using Loaded = Result<std::map<std::string, long long>>;
    clsDataBase db;
    if (!Open(db, staging))
        return Loaded::Failure("cannot connect to the staging database: " + db.LastError().Text());
    UnloggedSession unloggedStructure(db);
    say("creating " + std::to_string(contents.tables.size()) + " tables");
    if (const auto created = CreateTables(db, staging, contents); !created)
        return Loaded::Failure(created.error());
    const DeferredIndexes deferred = DeferIndexes(db, contents);
    const auto loaded = LoadTables(staging, contents, say);
    if (!loaded)
        return loaded;
    if (const auto indexed = BuildDeferredIndexes(db, deferred, say); !indexed)
        return Loaded::Failure(indexed.error());
    return loaded;
}

// What each table was loaded with, and what the archive says it held: its recorded figures,
// or its data file's rows for an archive that records none.
void Figures(const ArchiveContents& contents, const std::map<std::string, long long>& loaded,
             RestoreReport& report) {
    report.recorded = contents.recorded;
    for (const auto& t : contents.tables) {
        TableFigures found;
        found.table = t;
        found.rows = loaded.count(t) ? loaded.at(t) : -1;
        report.tables.push_back(found);
        TableFigures expected;
        expected.table = t;
        if (contents.recorded) {
            auto it = contents.figures.find(t);
            if (it != contents.figures.end())
                expected = it->second;
            else
                expected.rows = 0; // not exported (goods pictures left out)
        } else {
            const std::string file = contents.folder + t + ".dat";
            expected.rows = FileExists(file) ? CountOutfileRows(file) : 0;
        }
        report.expected.push_back(expected);
    }
}

// One statement moves every table into the target: it has all of them or none.
Result<Done> MoveIntoPlace(clsDataBase& admin, const std::string& staging,
                           const std::string& target, const ArchiveContents& contents,
                           const RestoreOptions& options, RestoreReport& report,
                           const Progress& say) {
    if (options.intoLive) {
        const auto saved = ReplaceLiveDatabase(admin, staging, contents.tables, say);
        if (!saved)
            return Result<Done>::Failure(saved.error());
        report.savedLive = *saved;
        return Done{};
    }
    std::string moves;
    for (const auto& t : contents.tables)
        moves += (moves.empty() ? "" : ", ") + QuotedName(staging) + "." + QuotedName(t) + " TO " +
                 QuotedName(target) + "." + QuotedName(t);
    admin.SQLExecute("CREATE DATABASE " + QuotedName(target) + " CHARACTER SET utf8mb4;");
    if (!admin.ConnectionStatus())
        return Result<Done>::Failure("cannot create the database " + target + ": " +
                                     admin.LastError().Text());
    admin.SQLExecute("RENAME TABLE " + moves + ";");
    if (!admin.ConnectionStatus()) {
        const std::string why = admin.LastError().Text();
        admin.SQLExecute("DROP DATABASE IF EXISTS " + QuotedName(target) + ";");
        return Result<Done>::Failure("the restored tables cannot be moved into " + target + ": " +
                                     why);
    }
    return Done{};
}

} // namespace

namespace {

// The database the archive goes into, once it is known that it may: the archive is there, the
// server answers, and a new database's name is free (refused before a large archive is
// unpacked for nothing).
std::variant<std::string, StepFailure> CheckedTarget(const std::string& archive,
                                                     const RestoreOptions& options) {
    if (!FileExists(archive))
        return StepFailure{RestoreFailure::NoArchive, "there is no archive " + archive};
    auto target = RestoreTarget(archive, options);
    if (std::holds_alternative<StepFailure>(target))
        return target;
    const std::string into = std::get<std::string>(target);
    if (!EnsureConnected())
        return StepFailure{RestoreFailure::Server, "the database server cannot be reached: " +
                                                       DataBase().LastError().Text()};
    if (!options.intoLive && DatabaseExists(DataBase(), into))
        return StepFailure{RestoreFailure::Target,
                           "the database " + into +
                               " exists already; name another one with --database NAME"};
    return into;
}

} // namespace

RestoreReport RestoreArchive(const std::string& archive, const RestoreOptions& options) {
    RestoreReport report;
    const Progress say = [&](const std::string& line) {
        if (options.progress)
            options.progress(line);
    };
    auto fail = [&](RestoreFailure kind, const std::string& why) {
        report.ok = false;
        report.failure = kind;
        report.error = why;
        return report;
    };
    const auto target = CheckedTarget(archive, options);
    if (const auto* f = std::get_if<StepFailure>(&target))
        return fail(f->kind, f->why);
    const std::string& into = std::get<std::string>(target);

    say("unpacking " + archive);
    UnpackFolder unpacked;
    const auto unpacking = Unpack(archive, options, unpacked);
    if (const auto* f = std::get_if<StepFailure>(&unpacking))
        return fail(f->kind, f->why);
    const ArchiveContents& contents = std::get<ArchiveContents>(unpacking);

    // Connecting may replace the global connection object: take it only afterwards.
    if (!EnsureConnected())
        return fail(RestoreFailure::Server,
                    "the database server cannot be reached: " + DataBase().LastError().Text());
    clsDataBase& admin = DataBase();
    // A restore's own statements stay out of the server's binary log: a replay of the log onto
    // an archive must hold the shop's work only, never a restore's scaffolding.
    UnloggedSession unlogged(admin);
    StagingDatabase staging(admin, into + "_restoring");
    if (const auto made = staging.Create(); !made)
        return fail(RestoreFailure::Server, made.error());

    const auto loaded = FillStaging(staging.name(), contents, say);
    if (!loaded)
        return fail(RestoreFailure::Server, loaded.error());
    Figures(contents, *loaded, report);
    if (const auto moved =
            MoveIntoPlace(admin, staging.name(), into, contents, options, report, say);
        !moved)
        return fail(RestoreFailure::Server, moved.error());
    report.database = into;
    report.ok = true;
    WriteProgramLog(
        "restored " + archive + " into the database " + into +
        (report.savedLive.empty() ? "" : " (its tables before: " + report.savedLive + ")"));
    return report;
}

} // namespace zenta
