#pragma once

#include "Result.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zenta {

// A backup of a database that lost its data must never pass for a good backup: the rotation
// would then push the last archives of the real data out, one a day. Each backup's row counts
// are compared with those of the newest good archive (the baseline); a fall the shop's own work
// never causes keeps the new archive, but as "shrunk", not as a backup.

// Rows per table (names in lower case); -1 for a table that exists but was not counted (the
// goods pictures when the shop leaves them out of its backups).
using TableRows = std::map<std::string, long long>;

// The suite's tables, which every shop database holds.
const std::vector<std::string>& SuiteTableNames();

// What a new backup is compared with.
struct ShrinkBaseline {
    std::string archive; // the archive the figures are of
    std::string time;    // "yyyy-mm-dd hh:nn:ss" of this computer, when it was made or accepted
    TableRows rows;
};

// The rules, one reason per finding ("" none), in the order of the tables:
// - a table of the baseline (without one: of the suite) that is missing;
// - master data (articles, pictures, customers, suppliers, stock, options, reports) emptied
//   from 5 rows or more, or more than halved from 20 rows or more;
// - a table of sales (tickets, their lines, payments, daily totals, deleted articles) emptied
//   from 100 rows or more, unless the shop's ticket purge ran since the baseline
//   (`purgedSince`); the purge, even a first one of a long history, never counts otherwise;
// - every other table together (sales, pending stock movements and the running-computer list
//   left out) down to less than a quarter, from 1000 rows or more.
[[nodiscard]] std::vector<std::string> ShrinkReasons(const ShrinkBaseline* baseline,
                                                     const TableRows& now, bool purgedSince);

// "articulo=12,345\r\ncliente=…" (the archive's figures file, [Tables] section or the bare
// lines) into rows per table.
[[nodiscard]] TableRows ParseTableRows(const std::string& text);

// The baseline kept in Log/BackupBaseline.ini, and its replacement after a good or accepted
// backup (why not, when it cannot be written).
[[nodiscard]] std::optional<ShrinkBaseline> RecordedBaseline();
Result<Done> RecordBaseline(const ShrinkBaseline& baseline);

// Without a record (a program folder set up again): the figures of the newest whole archive
// in the folder. Nothing when there is no such archive or it carries no figures; a failure
// when it cannot be read (a wrong password, a 7-Zip failure): the guard is then weaker, and
// says so.
[[nodiscard]] Result<std::optional<ShrinkBaseline>>
BaselineFromArchives(const std::string& folder, const std::string& password);

// Why a shrunk backup does not count, in words: against `baseline`, the archive compared with,
// or ("") against the suite's own tables when there is no earlier good backup.
[[nodiscard]] std::string ShrinkHeadline(const std::string& baseline);

// Whether the ticket purge ran at or after `time` ("yyyy-mm-dd hh:nn:ss"), from the job record.
[[nodiscard]] bool TicketsPurgedSince(const std::string& time);

} // namespace zenta
