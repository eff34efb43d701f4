#include "ReplayFilter.h"

#include "clsDataBase.h"

#include <cctype>
#include <cstdlib>

namespace zenta {

namespace {

constexpr std::string_view kLive = clsDataBase::kDefaultDatabase;

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.rfind(prefix, 0) == 0;
}

// The session settings mariadb-binlog writes before a transaction's events.
bool KeepsGroupOpen(std::string_view line) {
    return line == "/*!*/;" || StartsWith(line, "SET TIMESTAMP=") ||
           StartsWith(line, "SET @@session.") || StartsWith(line, "SET INSERT_ID=") ||
           StartsWith(line, "SET LAST_INSERT_ID=") || StartsWith(line, "/*!\\C ") ||
           StartsWith(line, "/*M!100101 SET @@session.skip_parallel_replication");
}

// Statements on accounts and privileges, and server-wide FLUSH: never the shop's data.
bool ServerStatement(std::string_view line) {
    std::string upper;
    for (size_t i = 0; i < line.size() && i < 40; ++i)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
    for (const char* w :
         {"GRANT ", "REVOKE ", "CREATE USER", "DROP USER", "ALTER USER", "RENAME USER",
          "SET PASSWORD", "CREATE ROLE", "DROP ROLE", "SET ROLE", "SET DEFAULT ROLE",
          "CREATE OR REPLACE USER", "CREATE OR REPLACE ROLE", "FLUSH ", "INSTALL ", "UNINSTALL "})
        if (upper.rfind(w, 0) == 0)
            return true;
    return false;
}

// What mariadb-binlog writes around the statements themselves: session settings, transaction
// bounds, its own additions.
bool SessionLine(std::string_view line) {
    return StartsWith(line, "SET ") || StartsWith(line, "/*") || StartsWith(line, "DELIMITER ") ||
           StartsWith(line, "BEGIN") || StartsWith(line, "START TRANSACTION") ||
           StartsWith(line, "COMMIT") || StartsWith(line, "ROLLBACK") || StartsWith(line, "XA ") ||
           StartsWith(line, "SAVEPOINT") || StartsWith(line, "RELEASE SAVEPOINT");
}

// The name between the first pair of backquotes after `from`; "" when none.
std::string QuotedName(std::string_view line, size_t from) {
    const size_t open = line.find('`', from);
    const size_t close = open == std::string_view::npos ? open : line.find('`', open + 1);
    return close == std::string_view::npos ? std::string()
                                           : std::string(line.substr(open + 1, close - open - 1));
}

bool Word(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}

// Whether the text before `end` (blanks and a backquote left out) ends with one of the words
// that name a database.
bool AfterDatabaseWord(const std::string& line, size_t end) {
    std::string before = line.substr(0, end);
    while (!before.empty() &&
           (before.back() == '`' || std::isspace(static_cast<unsigned char>(before.back()))))
        before.pop_back();
    std::string upper;
    for (char c : before)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* w : {"DATABASE", "SCHEMA", "EXISTS"}) {
        const std::string k = w;
        if (upper.size() >= k.size() && upper.compare(upper.size() - k.size(), k.size(), k) == 0 &&
            (upper.size() == k.size() || !Word(upper[upper.size() - k.size() - 1])))
            return k != "EXISTS" || upper.find("DATABASE") != std::string::npos ||
                   upper.find("SCHEMA") != std::string::npos;
    }
    return false;
}

} // namespace

void ReplayFilter::Line(std::string_view line, std::string& out) {
    if (inBlock_) {
        if (!line.empty() && line[0] == '\'')
            inBlock_ = false; // the block's end: held until a statement follows
        else if (blockKept_)
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
    if (line.empty() || Comment(line))
        return;
    if (StartsWith(line, "BINLOG '")) {
        // One table's map and its rows: kept only for the target's tables.
        inBlock_ = true;
        blockKept_ = blockDatabase_.empty() || blockDatabase_ == target_;
        blockDatabase_.clear();
        return;
    }
    if (StartsWith(line, "use `")) {
        database_ = QuotedName(line, 0);
        if (database_ != target_)
            return; // the statements run there are left out; the client's stays the target
    } else if (ServerStatement(line) || (!SessionLine(line) && !Kept(line))) {
        dropping_ = !EndsStatement(line);
        return;
    }
    Flush(out);
    // A transaction's own ids only matter for a binary log, and the replay writes none.
    if (StartsWith(line, "/*M!100001 SET @@session.gtid_") ||
        StartsWith(line, "/*M!100001 SET @@session.server_id"))
        return;
    if (!GroupStatement(line, out))
        return;
    if (StartsWith(line, "DELIMITER ")) {
        out += line;
        out += '\n';
        delimiter_ = std::string(line.substr(10));
        return;
    }
    Pass(line, out);
    inStatement_ = !EndsStatement(line);
}

// mariadb-binlog's comments: the client has no use for them; "# at N" tells where the text
// is (a position smaller than the last: the next file begins).
bool ReplayFilter::Comment(std::string_view line) {
    if (line[0] != '#')
        return false;
    if (StartsWith(line, "# at ")) {
        const long long at = std::atoll(std::string(line.substr(5)).c_str());
        if (at < position_)
            ++file_;
        position_ = at;
    }
    // "#… Table_map: `db`.`table` mapped to number N": whose rows the next block holds.
    if (const size_t map = line.find("\tTable_map: `"); map != std::string_view::npos)
        blockDatabase_ = QuotedName(line, map);
    return true;
}

// A statement of its own: kept when it runs in the target (mariadb-binlog's "use") or names
// the live database itself, and never when it acts on the server's accounts.
bool ReplayFilter::Kept(std::string_view line) const {
    if (ServerStatement(line))
        return false;
    if (database_ == target_)
        return true;
    return line.find(kLive) != std::string_view::npos && Renamed(std::string(line)) != line;
}

// The transactions' own beginnings and ends, grouped; false when the line is taken care of.
bool ReplayFilter::GroupStatement(std::string_view line, std::string& out) {
    if (line == "START TRANSACTION" || line == "BEGIN" ||
        StartsWith(line, "START TRANSACTION" + delimiter_) ||
        StartsWith(line, "BEGIN" + delimiter_)) {
        if (open_) { // the group goes on
            dropping_ = !EndsStatement(line);
            return false;
        }
        open_ = true;
    } else if (StartsWith(line, "COMMIT")) {
        ++transactions_;
        if (open_ && ++grouped_ < kGroup)
            return false;
        open_ = false;
        grouped_ = 0;
    } else if (open_ && !KeepsGroupOpen(line)) {
        out += "COMMIT" + delimiter_ + "\n";
        open_ = false;
        grouped_ = 0;
    }
    return true;
}

void ReplayFilter::Finish(std::string& out) {
    Flush(out);
    if (open_)
        out += "COMMIT" + delimiter_ + "\n";
    open_ = false;
}

void ReplayFilter::Flush(std::string& out) {
    if (pending_.empty())
        return;
    out += "BINLOG '\n";
    out += pending_;
    out += "'" + delimiter_ + "\n";
    pending_.clear();
}

bool ReplayFilter::EndsStatement(std::string_view line) const {
    return line.size() >= delimiter_.size() &&
           line.compare(line.size() - delimiter_.size(), delimiter_.size(), delimiter_) == 0;
}

void ReplayFilter::Pass(std::string_view line, std::string& out) const {
    if (line.find(kLive) != std::string_view::npos)
        out += Renamed(std::string(line));
    else
        out += line;
    out += '\n';
}

std::string ReplayFilter::Renamed(const std::string& line) const {
    const std::string live(kLive);
    std::string out;
    size_t from = 0;
    for (size_t at; (at = line.find(live, from)) != std::string::npos; from = at + live.size()) {
        const char before = at > 0 ? line[at - 1] : ' ';
        const size_t end = at + live.size();
        const char after = end < line.size() ? line[end] : ' ';
        const bool quoted =
            before == '`' && after == '`' && end + 1 < line.size() && line[end + 1] == '.';
        const bool qualified = !Word(before) && before != '`' && after == '.';
        const bool database =
            (after == ' ' || after == '`' || after == ';' || after == '/' || end == line.size()) &&
            !Word(before) && AfterDatabaseWord(line, at);
        out += line.substr(from, at - from);
        out += quoted || qualified || database ? target_ : live;
    }
    return out + line.substr(from);
}

} // namespace zenta
