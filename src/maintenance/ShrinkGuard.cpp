#include "ShrinkGuard.h"
#include "ArchiveFigures.h"

#include "ArchiveNames.h"
#include "Common.h"
#include "FolderListing.h"
#include "Globals.h"
#include "IniFile.h"
#include "JobOutcomes.h"
#include "SevenZip.h"
#include "Text.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta {

namespace {

// Tables whose contents the shop keeps and never empties by its own work.
const std::set<std::string>& MasterTables() {
    static const std::set<std::string> tables = {"articulo",  "articulodibujo", "cliente",
                                                 "proveedor", "stock",          "stockextra",
                                                 "opcion",    "informeespecial"};
    return tables;
}

// Tables the ticket purge deletes from, by day.
const std::set<std::string>& SalesTables() {
    static const std::set<std::string> tables = {"ticket",
                                                 "ticketarticulo",
                                                 "ticketcobro",
                                                 "articuloeliminado",
                                                 "ticketdiariototal",
                                                 "ventadiariototal",
                                                 "gananciadiariototal"};
    return tables;
}

// Tables that empty themselves in normal work: pending stock movements (folded into the stock
// every cycle) and the computers running the suite's programs now.
const std::set<std::string>& PassingTables() {
    static const std::set<std::string> tables = {"stockcambio", "stockextracambio",
                                                 "ordenadorejecutando"};
    return tables;
}

constexpr long long kEmptyFloor = 5;        // master tables smaller than this may empty
constexpr long long kHalvingFloor = 20;     // master tables smaller than this may halve
constexpr long long kSalesEmptyFloor = 100; // sales tables that held this many may not empty
constexpr long long kWholeFloor = 1000;     // the rest together, below a quarter

std::string Count(long long n) {
    return std::to_string(n) + (n == 1 ? " row" : " rows");
}

} // namespace

const std::vector<std::string>& SuiteTableNames() {
    static const std::vector<std::string> tables = {"articulo",
                                                    "articulodibujo",
                                                    "articuloeliminado",
                                                    "cliente",
                                                    "gananciadiariototal",
                                                    "informeespecial",
                                                    "opcion",
                                                    "ordenadorejecutando",
                                                    "proveedor",
                                                    "stock",
                                                    "stockcambio",
                                                    "stockextra",
                                                    "stockextracambio",
                                                    "ticket",
                                                    "ticketarticulo",
                                                    "ticketcobro",
                                                    "ticketdiariototal",
                                                    "ventadiariototal"};
    return tables;
}

std::vector<std::string> ShrinkReasons(const ShrinkBaseline* baseline, const TableRows& now,
                                       bool purgedSince) {
    std::vector<std::string> reasons;
    if (!baseline) {
        // Nothing to compare with: the suite's tables must at least be there.
        std::string missing;
        int count = 0;
        for (const auto& t : SuiteTableNames())
            if (!now.count(t)) {
                missing += (missing.empty() ? "" : ", ") + t;
                ++count;
            }
        if (now.empty())
            reasons.push_back("the database holds none of the suite's tables");
        else if (count == 1)
            reasons.push_back("the suite's table " + missing + " is missing");
        else if (count > 1)
            reasons.push_back("the suite's tables " + missing + " are missing");
        return reasons;
    }
    long long before = 0, after = 0;
    for (const auto& [table, was] : baseline->rows) {
        const auto found = now.find(table);
        if (found == now.end()) {
            reasons.push_back("the table " + table + " is missing (" + Count(std::max(was, 0LL)) +
                              " in " + baseline->archive + ")");
            continue;
        }
        const long long is = found->second;
        if (was < 0 || is < 0)
            continue; // not counted on one side
        if (MasterTables().count(table)) {
            if (was >= kEmptyFloor && is == 0)
                reasons.push_back(table + " was emptied (" + Count(was) + " before, none now)");
            else if (was >= kHalvingFloor && is * 2 < was)
                reasons.push_back(table + " fell by more than half (" + Count(was) + " before, " +
                                  Count(is) + " now)");
        } else if (SalesTables().count(table)) {
            if (was >= kSalesEmptyFloor && is == 0 && !purgedSince)
                reasons.push_back(table + " was emptied (" + Count(was) +
                                  " before, none now, and no ticket purge ran since)");
        } else if (!PassingTables().count(table)) {
            before += was;
            after += is;
        }
    }
    if (before >= kWholeFloor && after * 4 < before)
        reasons.push_back("the database's other tables hold far fewer rows (" + Count(before) +
                          " before, " + Count(after) + " now)");
    return reasons;
}

TableRows ParseTableRows(const std::string& text) {
    TableRows rows;
    for (const auto& [table, f] : ParseFigures(text))
        rows[AsciiLowerCase(TrimSpaces(table))] = f.rows;
    return rows;
}

std::string BaselinePath() {
    return Globals::AppPath + "Log/BackupBaseline.ini";
}

std::optional<ShrinkBaseline> RecordedBaseline() {
    const auto text = ReadWholeFile(BaselinePath());
    if (!text)
        return std::nullopt;
    ShrinkBaseline b;
    b.archive = IniFile::ReadFrom(*text, "Baseline", "Archive");
    b.time = IniFile::ReadFrom(*text, "Baseline", "Time");
    b.rows = ParseTableRows(*text);
    if (b.rows.empty())
        return std::nullopt;
    return b;
}

Result<Done> RecordBaseline(const ShrinkBaseline& baseline) {
    // Written whole, one line a table: a baseline cut short would be worse than none.
    std::string text = "[Baseline]\r\nArchive=" + baseline.archive + "\r\nTime=" + baseline.time +
                       "\r\n\r\n[Tables]\r\n";
    for (const auto& [table, n] : baseline.rows)
        text += table + "=" + std::to_string(n) + "\r\n";
    return ReplaceFileWhole(BaselinePath(), text);
}

Result<std::optional<ShrinkBaseline>> BaselineFromArchives(const std::string& folder,
                                                           const std::string& password) {
    using Found = Result<std::optional<ShrinkBaseline>>;
    const auto good = GoodArchivesNewestFirst(folder);
    if (good.empty())
        return std::optional<ShrinkBaseline>();
    // The newest whole archive only: what is older says nothing of the data since.
    const std::string& archive = good.front();
    const std::string unpack =
        Globals::AppPath + "Temp/Baseline-" + std::to_string(::getpid()) + "/";
    DeleteFolderTree(unpack);
    CreateFolderPath(unpack);
    ::chmod(unpack.c_str(), 0700);
    const auto outcome =
        RunSevenZip({"e", "-y", "-o" + unpack, archive, kTableChecksFile}, password);
    const auto text = ReadWholeFile(unpack + kTableChecksFile);
    DeleteFolderTree(unpack);
    if (outcome.WrongPassword())
        return Found::Failure(archive + " cannot be opened with the archives' password");
    if (outcome.status != 0 && outcome.status != 1 && !text)
        return Found::Failure(archive + " cannot be read (7-Zip status " +
                              std::to_string(outcome.status) + ")");
    if (!text)
        return std::optional<ShrinkBaseline>(); // made before archives carried figures
    ShrinkBaseline b;
    b.archive = archive;
    const auto parsed = ParseArchiveName(archive);
    b.time = parsed ? parsed->time.StampText() : std::string();
    b.rows = ParseTableRows(*text);
    if (b.rows.empty())
        return std::optional<ShrinkBaseline>();
    return std::optional<ShrinkBaseline>(b);
}

bool TicketsPurgedSince(const std::string& time) {
    const JobOutcome purge = JobOutcome::Read("TicketPurge");
    return !purge.time().empty() && purge.time() >= time && purge.result() == "done";
}

std::string ShrinkHeadline(const std::string& baseline) {
    if (baseline.empty())
        return "the database lacks what every database of the suite holds (there is no earlier "
               "good backup to compare it with)";
    return "the database holds much less than at the last good backup, " + baseline;
}

} // namespace zenta
