#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zenta {

// The structure comparer. Reads the sections Etalon (the reference) and Target (the working
// database) of MySQLCompare.ini, each with the keys
//   Host      (default 127.0.0.1)   Port (default 3306)
//   User      (default zentamarketback)   Password (default: that account's)
//   Database  (default zentasupermarketbasic for Etalon, zentasupermarket for Target)
// compares the two structures through information_schema and writes, beside the INI file,
// MySQLCompare.sql with the statements that make the target's structure equal to the
// reference: CREATE TABLE for missing tables; ALTER TABLE for missing or different columns,
// indexes, engines and table character sets. It never drops anything: tables, columns and
// indexes that only the target has are listed at the end of the script as comments. Nothing
// is written when the structures agree. Its log is LibMySQLRepair.log beside the INI file.
// `iniPath` may be wrapped in double quotes. 0 when the comparison ran; otherwise it could
// not (see MySQLRepairLastError).
int MySQLRepair(const std::string& iniPath);
std::string MySQLRepairLastError();

namespace dbstructure {

struct Column {
    std::string name;
    std::string type; // as the server prints it, e.g. "int(11)", "varchar(30)"
    bool nullable = true;
    std::optional<std::string> defaultValue; // as information_schema gives it
    std::string extra;                       // auto_increment, on update ...
    std::string collation;                   // "" for columns without one
    std::string comment;
};

struct Index {
    std::string name;
    bool unique = false;
    std::string type;                 // BTREE, FULLTEXT, SPATIAL, HASH
    std::vector<std::string> columns; // "col" or "col(10)"
};

struct Table {
    std::string name;
    std::string engine;
    std::string collation;
    std::vector<Column> columns;
    std::map<std::string, Index> indexes;
    std::string createStatement;
};

using Structure = std::map<std::string, Table>;

// The statements that make `target` equal to `reference`, and the comments on what only the
// target has.
struct Difference {
    std::vector<std::string> statements;
    std::vector<std::string> comments;
};
Difference Compare(const Structure& reference, const Structure& target);

// How two servers may print one definition differently, made equal.
std::string NormalType(const std::string& type);
std::optional<std::string> NormalDefault(const std::optional<std::string>& value, bool nullable);
std::string NormalExtra(const std::string& extra);
std::string NormalCollation(const std::string& collation);

} // namespace dbstructure

} // namespace zenta
