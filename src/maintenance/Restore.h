#pragma once

#include "ArchiveFigures.h"
#include "ArchiveNames.h"
#include "Result.h"

#include <functional>
#include <string>
#include <vector>

namespace zenta {

struct RestoreOptions {
    // The database to restore into; "" names a new one after the archive
    // ("zentasupermarket_restore_<yyyymmddhhnnss>"). It must not exist, except for the live
    // database with `intoLive`.
    std::string database;
    // Restoring into the live database: a backup of it is made first, and its tables are kept
    // in "zentasupermarket_before_restore_<stamp>".
    bool intoLive = false;
    // The file the archive's password is read from (as ArchivePasswordFile); "" for the
    // password the shop's archives are written with.
    std::string passwordFile;
    std::function<void(const std::string&)> progress; // one line per step, when given
    // A restore to a second asks it about the database brought forward before it goes on
    // (into the live one, or as the result): why it must not, "" when it may.
    std::function<std::string(const std::string& database)> accept;
};

// What kind of failure ended a restore: the archive's own fault (missing, foreign, damaged, a
// wrong password), the target's, or the server's.
enum class RestoreFailure { None, NoArchive, Foreign, Damaged, Password, Target, Server };

struct RestoreReport {
    bool ok = false;
    RestoreFailure failure = RestoreFailure::None;
    std::string error;                // why not, when not ok
    std::string database;             // where the tables are now
    std::string savedLive;            // with intoLive: where the live database's tables went
    std::vector<TableFigures> tables; // rows loaded per table
    // What the archive says each table held (same order): its recorded figures, or the rows
    // of its data file when it records none.
    std::vector<TableFigures> expected;
    bool recorded = false; // the archive carries its tables' figures
};

// Restores an archive written by this program (or the suite's Windows programs, same format)
// into a database: structure from STRU.SQL, data from the .dat files byte for byte. Everything
// is loaded into a staging database first and moved into the target in one statement; on any
// failure the staging database is dropped and the target is left as it was.
[[nodiscard]] RestoreReport RestoreArchive(const std::string& archive,
                                           const RestoreOptions& options);

// Rows in a data file written by SELECT … INTO OUTFILE with LINES TERMINATED BY '\r\n': line
// ends that the server did not escape. -1 when the file cannot be read.
[[nodiscard]] long long CountOutfileRows(const std::string& path);

} // namespace zenta
