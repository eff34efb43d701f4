#include "StructureComparer.h"

#include "Common.h"
#include "GlobalDatabase.h"
#include "IniFile.h"
#include "Text.h"
#include "Variant.h"
#include "clsDataBase.h"

#include <fstream>
#include <set>

namespace zenta {

namespace {

std::string& LastError() {
    static std::string e;
    return e;
}

class RepairLog {
  public:
    explicit RepairLog(const std::string& path) : out_(path, std::ios::app | std::ios::binary) {}
    void Line(const std::string& text) {
        if (out_)
            out_ << DateTime::Now().StampText() << ' ' << text << '\n';
    }

  private:
    std::ofstream out_;
};

std::string Quoted(const std::string& identifier) {
    return "`" + ReplaceAll(identifier, "`", "``") + "`";
}

std::string Literal(const std::string& text) {
    return "'" + SQLEscape(text) + "'";
}

// A CREATE TABLE statement without its " AUTO_INCREMENT=<n>" table option: the counter is the
// data's, not the structure's.
std::string WithoutAutoIncrementStart(std::string statement) {
    const std::string option = " AUTO_INCREMENT=";
    size_t at = 0;
    while ((at = statement.find(option, at)) != std::string::npos) {
        size_t end = at + option.size();
        while (end < statement.size() && statement[end] >= '0' && statement[end] <= '9')
            ++end;
        if (end > at + option.size())
            statement.erase(at, end - at);
        else
            at = end;
    }
    return statement;
}

} // namespace

namespace dbstructure {

std::string NormalType(const std::string& raw) {
    std::string t = AsciiLowerCase(TrimSpaces(raw));
    // The integer types' display width means nothing to the structure: "int(11)" is "int".
    for (const char* integer : {"tinyint", "smallint", "mediumint", "integer", "bigint", "int"}) {
        const std::string name = integer;
        if (t.compare(0, name.size() + 1, name + "(") != 0)
            continue;
        const size_t close = t.find(')', name.size());
        const std::string width = t.substr(name.size() + 1, close - name.size() - 1);
        if (close != std::string::npos && !width.empty() &&
            width.find_first_not_of("0123456789") == std::string::npos)
            t = name + t.substr(close + 1);
        break;
    }
    if (t.rfind("integer", 0) == 0)
        t = "int" + t.substr(7);
    t = ReplaceAll(t, "utf8mb3", "utf8");
    return t;
}

std::optional<std::string> NormalDefault(const std::optional<std::string>& value, bool nullable) {
    if (!value)
        return nullable ? std::optional<std::string>() : std::nullopt;
    std::string v = TrimSpaces(*value);
    if (AsciiUpperCase(v) == "NULL")
        return std::nullopt;
    if (v.size() >= 2 && v.front() == '\'' && v.back() == '\'')
        v = ReplaceAll(v.substr(1, v.size() - 2), "''", "'");
    std::string lower = AsciiLowerCase(v);
    if (lower == "current_timestamp()" || lower == "current_timestamp" || lower == "now()" ||
        lower == "localtimestamp()" || lower == "localtimestamp")
        return std::string("current_timestamp");
    // 0.00 and 0.000 are one value in a decimal column; keep the text otherwise.
    return v;
}

std::string NormalExtra(const std::string& extra) {
    std::string e = AsciiLowerCase(extra);
    std::string out;
    if (e.find("auto_increment") != std::string::npos)
        out += "auto_increment";
    if (e.find("on update") != std::string::npos)
        out += (out.empty() ? "" : " ") + std::string("on update current_timestamp");
    return out;
}

std::string NormalCollation(const std::string& c) {
    return ReplaceAll(AsciiLowerCase(c), "utf8mb3", "utf8");
}

namespace {

std::string DefaultClause(const Column& c) {
    if (!c.defaultValue)
        return "";
    const std::string v = TrimSpaces(*c.defaultValue);
    if (AsciiUpperCase(v) == "NULL")
        return c.nullable ? " DEFAULT NULL" : "";
    if (!v.empty() && v.front() == '\'')
        return " DEFAULT " + v;
    if (Variant(v).IsNumeric() || v.find('(') != std::string::npos ||
        AsciiLowerCase(v).rfind("current_timestamp", 0) == 0)
        return " DEFAULT " + v;
    return " DEFAULT " + Literal(v);
}

std::string Definition(const Column& c) {
    std::string d = Quoted(c.name) + " " + c.type;
    if (!c.collation.empty())
        d += " COLLATE " + c.collation;
    d += c.nullable ? " NULL" : " NOT NULL";
    d += DefaultClause(c);
    const std::string extra = NormalExtra(c.extra);
    if (extra.find("auto_increment") != std::string::npos)
        d += " AUTO_INCREMENT";
    if (extra.find("on update") != std::string::npos)
        d += " ON UPDATE current_timestamp()";
    if (!c.comment.empty())
        d += " COMMENT " + Literal(c.comment);
    return d;
}

bool SameColumn(const Column& a, const Column& b) {
    return NormalType(a.type) == NormalType(b.type) && a.nullable == b.nullable &&
           NormalDefault(a.defaultValue, a.nullable) == NormalDefault(b.defaultValue, b.nullable) &&
           NormalExtra(a.extra) == NormalExtra(b.extra) &&
           NormalCollation(a.collation) == NormalCollation(b.collation);
}

bool SameIndex(const Index& a, const Index& b) {
    return a.unique == b.unique && AsciiUpperCase(a.type) == AsciiUpperCase(b.type) &&
           a.columns == b.columns;
}

std::string IndexColumns(const Index& i) {
    std::string out;
    for (const auto& c : i.columns) {
        if (!out.empty())
            out += ",";
        const size_t paren = c.find('(');
        out +=
            paren == std::string::npos ? Quoted(c) : Quoted(c.substr(0, paren)) + c.substr(paren);
    }
    return "(" + out + ")";
}

std::string AddIndex(const Index& i) {
    if (i.name == "PRIMARY")
        return "ADD PRIMARY KEY " + IndexColumns(i);
    std::string kind = "KEY";
    if (AsciiUpperCase(i.type) == "FULLTEXT")
        kind = "FULLTEXT KEY";
    else if (AsciiUpperCase(i.type) == "SPATIAL")
        kind = "SPATIAL KEY";
    else if (i.unique)
        kind = "UNIQUE KEY";
    return "ADD " + kind + " " + Quoted(i.name) + " " + IndexColumns(i);
}

std::string DropIndex(const Index& i) {
    return i.name == "PRIMARY" ? "DROP PRIMARY KEY" : "DROP KEY " + Quoted(i.name);
}

std::string CharsetOf(const std::string& collation) {
    const size_t u = collation.find('_');
    return u == std::string::npos ? collation : collation.substr(0, u);
}

// The clauses that make the target table's columns and indexes the reference's; what the
// target has more is said in `comments` and left as it is.
std::vector<std::string> TableClauses(const std::string& name, const Table& ref, const Table& tgt,
                                      std::vector<std::string>& comments) {
    std::vector<std::string> clauses;
    std::string previous;
    for (const auto& col : ref.columns) {
        const Column* have = nullptr;
        for (const auto& t : tgt.columns)
            if (AsciiLowerCase(t.name) == AsciiLowerCase(col.name))
                have = &t;
        if (!have)
            clauses.push_back("ADD COLUMN " + Definition(col) +
                              (previous.empty() ? " FIRST" : " AFTER " + Quoted(previous)));
        else if (!SameColumn(col, *have))
            clauses.push_back("MODIFY COLUMN " + Definition(col));
        previous = col.name;
    }
    for (const auto& t : tgt.columns) {
        bool known = false;
        for (const auto& col : ref.columns)
            known = known || AsciiLowerCase(col.name) == AsciiLowerCase(t.name);
        if (!known)
            comments.push_back("-- column " + name + "." + t.name +
                               " is not in the reference; left as it is");
    }
    for (const auto& [iname, index] : ref.indexes) {
        auto have = tgt.indexes.find(iname);
        if (have == tgt.indexes.end()) {
            clauses.push_back(AddIndex(index));
        } else if (!SameIndex(index, have->second)) {
            clauses.push_back(DropIndex(have->second));
            clauses.push_back(AddIndex(index));
        }
    }
    for (const auto& [iname, index] : tgt.indexes)
        if (!ref.indexes.count(iname))
            comments.push_back("-- index " + name + "." + iname +
                               " is not in the reference; left as it is");
    return clauses;
}

} // namespace

Difference Compare(const Structure& reference, const Structure& target) {
    Difference d;
    for (const auto& [name, ref] : reference) {
        auto it = target.find(name);
        if (it == target.end()) {
            std::string create = WithoutAutoIncrementStart(ref.createStatement);
            d.statements.push_back(ReplaceAll(ReplaceAll(create, "\r\n", " "), "\n", " ") + ";");
            continue;
        }
        const Table& tgt = it->second;
        if (!ref.engine.empty() && AsciiUpperCase(ref.engine) != AsciiUpperCase(tgt.engine))
            d.statements.push_back("ALTER TABLE " + Quoted(name) + " ENGINE=" + ref.engine + ";");
        if (!ref.collation.empty() &&
            NormalCollation(ref.collation) != NormalCollation(tgt.collation))
            d.statements.push_back("ALTER TABLE " + Quoted(name) + " DEFAULT CHARACTER SET " +
                                   CharsetOf(ref.collation) + " COLLATE " + ref.collation + ";");
        const std::vector<std::string> clauses = TableClauses(name, ref, tgt, d.comments);
        if (!clauses.empty()) {
            // One statement per table, so that an auto-increment column and its key change
            // together.
            std::string alter = "ALTER TABLE " + Quoted(name) + " ";
            for (size_t i = 0; i < clauses.size(); ++i)
                alter += (i ? ", " : "") + clauses[i];
            d.statements.push_back(alter + ";");
        }
    }
    for (const auto& [name, t] : target)
        if (!reference.count(name))
            d.comments.push_back("-- table " + name + " is not in the reference; left as it is");
    return d;
}

} // namespace dbstructure

namespace {

using namespace dbstructure;

struct Side {
    std::string host = "127.0.0.1";
    long port = 3306;
    std::string user = kBackOfficeUser;
    std::string password = kBackOfficePassword;
    std::string database;
};

Side ReadSide(const std::string& ini, const std::string& section, const std::string& database) {
    Side s;
    s.database = database;
    auto get = [&](const char* key, std::string& into) {
        const std::string v = TrimSpaces(IniFile::Read(ini, section, key));
        if (!v.empty())
            into = v;
    };
    get("Host", s.host);
    std::string port;
    get("Port", port);
    if (Val(port) > 0)
        s.port = static_cast<long>(Val(port));
    get("User", s.user);
    get("Password", s.password);
    get("Database", s.database);
    return s;
}

// The schema's tables with their engine and collation.
Result<Done> LoadTables(clsDataBase& db, const std::string& s, Structure& out) {
    const auto tables =
        db.Select("SELECT TABLE_NAME, ENGINE, TABLE_COLLATION FROM information_schema.TABLES "
                  "WHERE TABLE_SCHEMA = " +
                  s + " AND TABLE_TYPE = 'BASE TABLE';");
    if (!tables)
        return Result<Done>::Failure(tables.error());
    const XArrayDB& rows = **tables;
    for (long r = 0; r < rows.Count(1); ++r) {
        Table t;
        t.name = rows.Value(r, 0).ToString();
        t.engine = rows.Value(r, 1).ToString();
        t.collation = rows.Value(r, 2).ToString();
        out[t.name] = t;
    }
    return Done{};
}

// Each table's columns, in order.
Result<Done> LoadColumns(clsDataBase& db, const std::string& s, Structure& out) {
    const auto columns =
        db.Select("SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_DEFAULT, "
                  "EXTRA, COLLATION_NAME, COLUMN_COMMENT FROM information_schema.COLUMNS WHERE "
                  "TABLE_SCHEMA = " +
                  s + " ORDER BY TABLE_NAME, ORDINAL_POSITION;");
    if (!columns)
        return Result<Done>::Failure(columns.error());
    const XArrayDB& rows = **columns;
    for (long r = 0; r < rows.Count(1); ++r) {
        auto it = out.find(rows.Value(r, 0).ToString());
        if (it == out.end())
            continue;
        Column c;
        c.name = rows.Value(r, 1).ToString();
        c.type = rows.Value(r, 2).ToString();
        c.nullable = rows.Value(r, 3).ToString() == "YES";
        if (!rows.Value(r, 4).IsNull())
            c.defaultValue = rows.Value(r, 4).ToString();
        c.extra = rows.Value(r, 5).ToString();
        c.collation = rows.Value(r, 6).ToString();
        c.comment = rows.Value(r, 7).ToString();
        it->second.columns.push_back(c);
    }
    return Done{};
}

// Each table's indexes, their columns in order.
Result<Done> LoadIndexes(clsDataBase& db, const std::string& s, Structure& out) {
    const auto stats =
        db.Select("SELECT TABLE_NAME, INDEX_NAME, NON_UNIQUE, COLUMN_NAME, SUB_PART, INDEX_TYPE "
                  "FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = " +
                  s + " ORDER BY TABLE_NAME, INDEX_NAME, SEQ_IN_INDEX;");
    if (!stats)
        return Result<Done>::Failure(stats.error());
    const XArrayDB& rows = **stats;
    for (long r = 0; r < rows.Count(1); ++r) {
        auto it = out.find(rows.Value(r, 0).ToString());
        if (it == out.end())
            continue;
        Index& i = it->second.indexes[rows.Value(r, 1).ToString()];
        i.name = rows.Value(r, 1).ToString();
        i.unique = rows.Value(r, 2).ToInt64() == 0;
        i.type = rows.Value(r, 5).ToString();
        std::string col = rows.Value(r, 3).ToString();
        if (!rows.Value(r, 4).IsNull())
            col += "(" + rows.Value(r, 4).ToString() + ")";
        i.columns.push_back(col);
    }
    return Done{};
}

bool Load(clsDataBase& db, const std::string& schema, Structure& out, std::string& error) {
    const std::string s = Literal(schema);
    for (auto* load : {LoadTables, LoadColumns, LoadIndexes})
        if (const auto loaded = load(db, s, out); !loaded) {
            error = loaded.error();
            return false;
        }
    for (auto& [name, t] : out) {
        db.CreatDatasArray("SHOW CREATE TABLE " + Quoted(schema) + "." + Quoted(name) + ";");
        if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
            t.createStatement = db.DatasArrayValue(0, 1).ToString();
    }
    return true;
}

} // namespace

std::string MySQLRepairLastError() {
    return LastError();
}

int MySQLRepair(const std::string& iniPathArgument) {
    std::string ini = TrimSpaces(iniPathArgument);
    if (ini.size() >= 2 && ini.front() == '"' && ini.back() == '"')
        ini = ini.substr(1, ini.size() - 2);
    const size_t slash = ini.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "./" : ini.substr(0, slash + 1);
    RepairLog log(folder + "LibMySQLRepair.log");
    LastError().clear();
    auto fail = [&](const std::string& why) {
        LastError() = why;
        log.Line("comparison not made: " + why);
        return 1;
    };
    if (!FileExists(ini))
        return fail("no " + ini);

    const Side etalon = ReadSide(ini, "Etalon", "zentasupermarketbasic");
    const Side target = ReadSide(ini, "Target", "zentasupermarket");
    Structure reference, working;
    for (auto [side, into] : {std::pair{&etalon, &reference}, std::pair{&target, &working}}) {
        clsDataBase db;
        db.Connect(side->host, side->port, side->database, side->user, side->password);
        if (!db.ConnectionStatus())
            return fail("cannot connect to " + side->database + " on " + side->host + ":" +
                        std::to_string(side->port) + ": " + db.LastError().Text());
        std::string error;
        if (!Load(db, side->database, *into, error))
            return fail("cannot read the structure of " + side->database + ": " + error);
    }
    if (reference.empty())
        return fail("the reference database " + etalon.database + " has no tables");
    log.Line("comparing " + etalon.database + " (" + std::to_string(reference.size()) +
             " tables) with " + target.database + " (" + std::to_string(working.size()) +
             " tables)");

    const Difference diff = Compare(reference, working);
    const std::string script = folder + "MySQLCompare.sql";
    if (diff.statements.empty() && diff.comments.empty()) {
        std::remove(script.c_str());
        log.Line("the structures agree");
        return 0;
    }
    std::ofstream out(script, std::ios::binary | std::ios::trunc);
    for (const auto& s : diff.statements)
        out << s << "\r\n";
    for (const auto& c : diff.comments)
        out << c << "\r\n";
    out.flush();
    if (!out)
        return fail("cannot write " + script);
    log.Line(std::to_string(diff.statements.size()) + " statements and " +
             std::to_string(diff.comments.size()) + " notes written to " + script);
    return 0;
}

} // namespace zenta
