#pragma once

#include <map>
#include <string>

namespace zenta {

// The figures of one table: as recorded in an archive when it was made, or as found in a
// restored database.
struct TableFigures {
    std::string table;
    long long rows = -1;     // -1 when not known
    long long checksum = -1; // CHECKSUM TABLE; -1 when not recorded
    // Whether a table as found matches these figures as recorded (its checksum counts only
    // when one was recorded).
    bool Matches(const TableFigures& found) const {
        return rows == found.rows && (checksum == -1 || checksum == found.checksum);
    }
};

// The one reader of recorded figures, by table as written: an archive's checks file
// (kTableChecksFile, its [Tables] section: "table=rows,checksum") and the shrink guard's
// baseline ("table=rows"). Bare lines count; in a file of sections only [Tables]; several
// "table=…" on one line may be separated by ";". An entry whose rows are not a number is left
// out.
std::map<std::string, TableFigures> ParseFigures(const std::string& text);

} // namespace zenta
