#include "clsDataBase.h"

#include "CodePage.h"
#include "Common.h"
#include "ComputerIdentity.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "IniFile.h"
#include "RecordsetFilter.h"
#include "Registry.h"
#include "Settings.h"
#include "Text.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zenta {

struct clsDataBase::Rows {
    std::vector<OdbcColumn> columns;
    std::vector<std::vector<Variant>> data;
};

namespace {

std::string GeneralNumber(float v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.7g", static_cast<double>(v));
    return b;
}

bool ReadWholeFile(const std::string& path, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteWholeFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out.flush());
}

bool EndsWithSemicolon(const std::string& line) {
    return !line.empty() && line.back() == ';';
}

} // namespace

clsDataBase::clsDataBase()
    : fieldIndex_(std::make_shared<XArrayDB>()), datasArray_(std::make_shared<XArrayDB>()),
      programaVersion_(ProgramVersionText()) {}

clsDataBase::~clsDataBase() {
    connection_.Close();
}

std::string clsDataBase::BuildConnectionString(const std::string& driver, const std::string& host,
                                               long port, const std::string& database,
                                               const std::string& user,
                                               const std::string& password) {
    return "Driver={" + driver + "};Server=" + host + ";Port=" + std::to_string(port) +
           ";DataBase=" + database + ";" + "UID=" + user + ";PWD=" + password +
           ";Option=" + std::to_string(kDriverOptions);
}

void clsDataBase::ConnectionString(const std::string& connectionString) {
    mySQLVersion_.clear();
    connectionID_.clear();
    programaVersion_.clear();
    connectionString_ = connectionString;
    connection_.Close();
    OdbcConnection fresh;
    OdbcError error;
    if (!fresh.Open(connectionString, error)) {
        lastError_ = error;
        status_ = false;
        return;
    }
    connection_ = std::move(fresh);
    status_ = true;
}

bool clsDataBase::Connect(const std::string& host, long port, const std::string& database,
                          const std::string& user, const std::string& password) {
    host_ = host;
    port_ = port;
    userName_ = user.empty() ? kDefaultUser : user;
    configuredMySQLVersion_ = static_cast<float>(Val(GetSetting("MySQL", "MySQLVersion", "")));

    if (configuredMySQLVersion_ == 4.0f)
        driverName_ = kDriver17;
    else if (configuredMySQLVersion_ == 5.1f)
        driverName_ = kDriver28;
    else
        driverName_ = kDriverUltimate;

    const std::string db = database.empty() ? kDefaultDatabase : database;
    const std::string pw = userName_ == kDefaultUser ? kDefaultPassword : password;
    ConnectionString(BuildConnectionString(driverName_, host_, port_, db, userName_, pw));

    if (!status_) {
        driverName_ = kDriver17;
        ConnectionString(BuildConnectionString(driverName_, host_, port_, db, userName_, pw));
    } else {
        if (!LoadMySQLVersion())
            ReportFailure("clsDataBase.Connect", "server version: " + lastError_.Text());
        if (mySQLVersionNumber_ != configuredMySQLVersion_) {
            if (mySQLVersionNumber_ == 5.5f)
                driverName_ = kDriverUltimate;
            else if (mySQLVersionNumber_ == 5.1f)
                driverName_ = kDriver28;
            else
                driverName_ = kDriver17;
            ConnectionString(BuildConnectionString(driverName_, host_, port_, db, userName_, pw));
        }
        odbcVersion_ = GetMySQLVersionFromRegistry(driverName_);
    }
    mySQLServer_ = IsThisComputer(host_);
    return false;
}

bool clsDataBase::Query(const std::string& sql, Rows& rows) {
    rows = Rows{};
    lastSQL_ = sql;
    OdbcStatement st(connection_);
    OdbcError error;
    if (!st.Execute(sql, error)) {
        lastError_ = error;
        return false;
    }
    rows.columns = st.Columns();
    while (st.Fetch(error)) {
        std::vector<Variant> row(rows.columns.size());
        for (size_t c = 0; c < row.size(); ++c)
            if (!st.Get(c, row[c], error)) {
                lastError_ = error;
                return false;
            }
        rows.data.push_back(std::move(row));
    }
    if (!error.empty()) {
        lastError_ = error;
        return false;
    }
    return true;
}

bool clsDataBase::Run(const std::string& sql) {
    lastSQL_ = sql;
    OdbcStatement st(connection_);
    OdbcError error;
    if (!st.Execute(sql, error)) {
        lastError_ = error;
        return false;
    }
    st.Finish();
    return true;
}

bool clsDataBase::LoadMySQLVersion() {
    Rows rows;
    if (!Query("Select Substring_index(Version(),'-',1);", rows))
        return false;
    if (!rows.data.empty()) {
        mySQLVersion_ = TrimSpaces(rows.data[0][0].ToString());
        const size_t dot = mySQLVersion_.find_last_of('.');
        const std::string head =
            dot == std::string::npos ? mySQLVersion_ : mySQLVersion_.substr(0, dot);
        mySQLVersionNumber_ = static_cast<float>(Val(head));
        if (mySQLVersionNumber_ != configuredMySQLVersion_)
            SetSetting("MySQL", "MySQLVersion", GeneralNumber(mySQLVersionNumber_));
        versionMajor_ = static_cast<int>(Val(mySQLVersion_));
        isMySQL5_ = versionMajor_ == 5;
    }
    return true;
}

std::string clsDataBase::MySQLVersion() {
    if (mySQLVersion_.empty() && !LoadMySQLVersion())
        ReportFailure("clsDataBase.MySQLVersion", lastError_.Text());
    return mySQLVersion_;
}

bool clsDataBase::IsMySQL5() {
    MySQLVersion();
    return isMySQL5_;
}

std::string clsDataBase::ConnectionID() {
    if (connectionID_.empty()) {
        Rows rows;
        if (!Query("SELECT CONNECTION_ID();", rows))
            ReportFailure("clsDataBase.ConnectionID", lastError_.Text());
        else if (!rows.data.empty())
            connectionID_ = TrimSpaces(rows.data[0][0].ToString());
    }
    return connectionID_;
}

std::string clsDataBase::DataPath() {
    if (dataPath_.empty()) {
        // The server's own data folder: on this platform it is not below its base folder.
        Rows rows;
        if (!Query("show variables like 'datadir';", rows))
            ReportFailure("clsDataBase.DataPath", lastError_.Text());
        else if (!rows.data.empty() && rows.data[0].size() > 1) {
            std::string v = TrimSpaces(rows.data[0][1].ToString());
            if (!v.empty())
                dataPath_ = WithSlash(v);
        }
    }
    return dataPath_;
}

// ---------------------------------------------------------------- statements

std::string clsDataBase::NoRunSQLLogPath() {
    return Globals::AppPath + "Log/" + Globals::ExecutableName + "-NoRunSQL.log";
}

void clsDataBase::WriteNoRunSQLLog(const std::string& statement) {
    WriteIniLogEntry(NoRunSQLLogPath(), programaVersion_, statement);
    WriteProgramLog("SQL failed " + lastError_.Text());
}

std::string clsDataBase::Rewrite(const std::string& sql) {
    if (mySQLVersion_.empty())
        LoadMySQLVersion();
    return RewriteForServer(sql, versionMajor_);
}

namespace {

bool IsIdentifierChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// Skips blanks and comments from `pos`; the position of the next word.
size_t SkipBlanksAndComments(const std::string& s, size_t pos) {
    while (pos < s.size()) {
        if (std::isspace(static_cast<unsigned char>(s[pos]))) {
            ++pos;
        } else if (s.compare(pos, 2, "/*") == 0) {
            size_t e = s.find("*/", pos + 2);
            pos = e == std::string::npos ? s.size() : e + 2;
        } else if (s[pos] == '#' || s.compare(pos, 3, "-- ") == 0) {
            size_t e = s.find('\n', pos);
            pos = e == std::string::npos ? s.size() : e + 1;
        } else {
            break;
        }
    }
    return pos;
}

std::string NextWord(const std::string& s, size_t& pos) {
    pos = SkipBlanksAndComments(s, pos);
    size_t b = pos;
    while (pos < s.size() && IsIdentifierChar(s[pos]))
        ++pos;
    return AsciiUpperCase(s.substr(b, pos - b));
}

// CREATE [OR REPLACE] [TEMPORARY] TABLE and ALTER [ONLINE] [IGNORE] TABLE: the only statements
// whose text holds table options.
bool IsTableDefinition(const std::string& sql) {
    size_t pos = 0;
    const std::string first = NextWord(sql, pos);
    if (first != "CREATE" && first != "ALTER")
        return false;
    for (int i = 0; i < 4; ++i) {
        const std::string w = NextWord(sql, pos);
        if (w == "TABLE")
            return true;
        if (w != "OR" && w != "REPLACE" && w != "TEMPORARY" && w != "ONLINE" && w != "IGNORE")
            return false;
    }
    return false;
}

// Replaces `from` by `to` where it stands as the start of a word outside quoted values,
// quoted identifiers and comments.
std::string ReplaceInDefinitionText(const std::string& sql,
                                    const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string out;
    out.reserve(sql.size());
    size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == '\'' || c == '"' || c == '`') {
            // Copy the quoted run whole: doubled quotes and (outside back-quotes) backslash
            // escapes stay inside it.
            size_t j = i + 1;
            while (j < sql.size()) {
                if (c != '`' && sql[j] == '\\' && j + 1 < sql.size()) {
                    j += 2;
                    continue;
                }
                if (sql[j] == c) {
                    if (j + 1 < sql.size() && sql[j + 1] == c) {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            out.append(sql, i, j - i);
            i = j;
            continue;
        }
        if (sql.compare(i, 2, "/*") == 0 || c == '#' || sql.compare(i, 3, "-- ") == 0) {
            size_t e = c == '/' ? sql.find("*/", i + 2) : sql.find('\n', i);
            e = e == std::string::npos ? sql.size() : e + (c == '/' ? 2 : 1);
            out.append(sql, i, e - i);
            i = e;
            continue;
        }
        bool replaced = false;
        if (i == 0 || !IsIdentifierChar(sql[i - 1])) {
            for (const auto& [from, to] : pairs) {
                if (sql.compare(i, from.size(), from) == 0) {
                    out += to;
                    i += from.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += sql[i++];
    }
    return out;
}

} // namespace

std::string clsDataBase::RewriteForServer(const std::string& sql, int versionMajor) {
    // Old table definitions in the suite's scripts use spellings that servers from 5 on reject
    // (and 4.x servers know no character sets). Only the definition text changes: an article
    // id such as 'XTYPE=1' in a value is data and must reach the server as written.
    if (!IsTableDefinition(sql))
        return sql;
    if (versionMajor >= 5)
        return ReplaceInDefinitionText(
            sql, {{"timestamp(14) NOT NULL", "timestamp NOT NULL DEFAULT '0000-00-00 00:00:00'"},
                  {"TYPE=", "ENGINE="}});
    return ReplaceInDefinitionText(sql, {{"DEFAULT CHARSET=latin1", ""}});
}

void clsDataBase::SQLExecute(const std::string& sql) {
    const std::string s = Rewrite(sql);
    if (!Run(s)) {
        WriteNoRunSQLLog(lastSQL_);
        status_ = false;
        return;
    }
    status_ = true;
}

Result<Done> clsDataBase::Execute(const std::string& sql) {
    SQLExecute(sql);
    if (!status_)
        return Result<Done>::Failure(lastError_.Text());
    return Done{};
}

Result<std::shared_ptr<XArrayDB>> clsDataBase::Select(const std::string& sql) {
    CreatDatasArray(sql);
    if (!status_)
        return Result<std::shared_ptr<XArrayDB>>::Failure(lastError_.Text());
    return datasArray_;
}

bool clsDataBase::SQLExecuteFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        lastError_.Set("cannot open " + path);
        lastSQL_.clear();
        WriteNoRunSQLLog("");
        status_ = false;
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    // Lines end in CR LF, LF or CR.
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find_first_of("\r\n", pos);
        if (nl == std::string::npos) {
            lines.push_back(FromAnsi(std::string_view(text).substr(pos)));
            break;
        }
        lines.push_back(FromAnsi(std::string_view(text).substr(pos, nl - pos)));
        pos = (text[nl] == '\r' && nl + 1 < text.size() && text[nl + 1] == '\n') ? nl + 2 : nl + 1;
    }
    size_t i = 0;
    while (i < lines.size()) {
        std::string statement = lines[i++];
        if (!EndsWithSemicolon(statement)) {
            while (i < lines.size()) {
                const std::string& next = lines[i++];
                if (!next.empty() && next.rfind("--", 0) != 0)
                    statement += next;
                if (EndsWithSemicolon(next))
                    break;
            }
        }
        if (!TrimSpaces(statement).empty()) {
            const std::string s = Rewrite(statement);
            if (!Run(s))
                WriteNoRunSQLLog(s);
        }
    }
    status_ = true;
    return false;
}

void clsDataBase::StartTrans() {
    status_ = Run("SET autocommit=0") && Run("START TRANSACTION;");
}

void clsDataBase::CommitTrans() {
    status_ = Run("COMMIT;") && Run("SET autocommit=1");
}

void clsDataBase::RollbackTrans() {
    const bool rolledBack = Run("ROLLBACK;");
    status_ = Run("SET autocommit=1") && rolledBack;
}

// ---------------------------------------------------------------- result arrays

std::shared_ptr<XArrayDB> clsDataBase::DatasArray() {
    if (!datasArray_)
        datasArray_ = std::make_shared<XArrayDB>();
    return datasArray_;
}

namespace {

// Every row of an executed statement that the filter lets through, its cells in order (a row
// whose first cell is NULL is counted but not kept, as the suite's result array did); false on
// a failure, said in `error`.
bool FetchRows(OdbcStatement& st, const RecordsetFilter& criteria, std::vector<Variant>& cells,
               long& matched, OdbcError& error) {
    const auto& columns = st.Columns();
    const size_t m = columns.size();
    std::vector<bool> shortBinary(m);
    for (size_t c = 0; c < m; ++c)
        shortBinary[c] = IsBinaryType(columns[c].sqlType);
    std::vector<Variant> row(m);
    while (st.Fetch(error)) {
        for (size_t c = 0; c < m; ++c) {
            if (!st.Get(c, row[c], error))
                return false;
            if (shortBinary[c])
                row[c] = AnsiBytesToString(row[c]);
        }
        if (!criteria.Matches(row))
            continue;
        ++matched;
        if (m > 0 && row[0].IsNull())
            continue;
        for (auto& v : row)
            cells.push_back(std::move(v));
    }
    return error.empty();
}

} // namespace

void clsDataBase::CreatDatasArray(const std::string& sql, const std::string& filter) {
    lastSQL_ = sql;
    fieldIndex_ = std::make_shared<XArrayDB>();
    datasArray_ = std::make_shared<XArrayDB>();
    recordTotal_ = 0;

    auto fail = [&](const OdbcError& error) {
        lastError_ = error;
        WriteNoRunSQLLog(lastSQL_);
        status_ = false;
    };

    OdbcStatement st(connection_);
    OdbcError error;
    if (!st.Execute(sql, error))
        return fail(error);
    const auto& columns = st.Columns();
    const long m = static_cast<long>(columns.size());
    std::vector<std::string> names;
    for (auto& c : columns)
        names.push_back(c.name);

    RecordsetFilter criteria;
    if (!TrimSpaces(filter).empty()) {
        std::string why;
        if (!criteria.Compile(filter, names, why)) {
            OdbcError e;
            e.Set("filter \"" + filter + "\": " + why);
            return fail(e);
        }
    }

    std::vector<Variant> cells;
    long matched = 0;
    if (!FetchRows(st, criteria, cells, matched, error))
        return fail(error);

    fieldIndex_->ReDim(0, m - 1, 0, 1);
    for (long k = 0; k < m; ++k) {
        fieldIndex_->SetValue(k, 0, names[static_cast<size_t>(k)]);
        fieldIndex_->SetValue(k, 1, static_cast<std::int64_t>(k));
    }
    recordTotal_ = matched;
    datasArray_->Assign(m, std::move(cells));
    status_ = true;
}

Variant clsDataBase::DatasArrayValue(long row, long col, bool isString) {
    const auto& a = *DatasArray();
    if (!a.InBounds(row, col)) {
        ReportFailure("clsDataBase.DatasArrayValue", "cell (" + std::to_string(row) + ", " +
                                                         std::to_string(col) + ") out of range");
        return Variant();
    }
    const Variant& v = a.Value(row, col);
    if (isString)
        return v.IsNull() ? Variant(std::string()) : Variant(TrimSpaces(v.ToString()));
    return v.IsNull() ? Variant(std::int64_t{0}) : v;
}

Variant clsDataBase::DatasArrayValueByField(long row, const std::string& fieldName, bool isString) {
    long found = fieldIndex_->Find(0, 0, Variant(fieldName));
    if (found < fieldIndex_->LowerBound(1))
        return Variant(Null{});
    return DatasArrayValue(row, static_cast<long>(fieldIndex_->Value(found, 1).ToInt64()),
                           isString);
}

double clsDataBase::ArrayColTotal(long col) {
    const auto& a = *DatasArray();
    if (a.Count(1) == 0 || col > a.UpperBound(2) || col < a.LowerBound(2))
        return 0;
    double sum = 0;
    for (long r = a.LowerBound(1); r <= a.UpperBound(1); ++r) {
        const Variant& v = a.Value(r, col);
        if (v.IsNumeric())
            sum += v.ToDouble();
    }
    return sum;
}

// ---------------------------------------------------------------- schema probes

bool clsDataBase::IsTableExists(const std::string& tableName, const std::string& databaseName) {
    std::string sql = databaseName.empty()
                          ? "Show Tables Like '" + SQLEscape(TrimSpaces(tableName)) + "';"
                          : "Show Tables From " + databaseName + " Like '" +
                                SQLEscape(TrimSpaces(tableName)) + "';";
    Rows rows;
    if (!Query(sql, rows)) {
        ReportFailure("clsDataBase.IsTableExists", lastError_.Text());
        return false;
    }
    return !rows.data.empty();
}

bool clsDataBase::IsFieldExists(const std::string& tableName, const std::string& fieldName) {
    if (!IsTableExists(tableName))
        return false;
    Rows rows;
    if (!Query("Show Columns From " + TrimSpaces(tableName) + " Like '" +
                   SQLEscape(TrimSpaces(fieldName)) + "';",
               rows)) {
        ReportFailure("clsDataBase.IsFieldExists", lastError_.Text());
        return false;
    }
    return !rows.data.empty();
}

namespace {
std::string ShortName(const std::string& table) {
    size_t dot = table.find('.');
    return dot == std::string::npos ? table : table.substr(dot + 1);
}
std::string SelectList(const std::string& table, const std::vector<std::string>& columns) {
    std::string out;
    const std::string shortName = ShortName(table);
    for (const auto& c : columns) {
        if (!out.empty())
            out += ", ";
        out += shortName + "." + c;
    }
    return out;
}
} // namespace

bool clsDataBase::ColumnNames(const std::string& tableName, const char* member,
                              std::vector<std::string>& names) {
    Rows rows;
    if (!Query("DESCRIBE " + tableName + ";", rows)) {
        ReportFailure(member, lastError_.Text());
        return false;
    }
    for (auto& r : rows.data)
        names.push_back(r[0].ToString());
    return true;
}

std::string clsDataBase::TableFieldsList(const std::string& tableName) {
    std::vector<std::string> names;
    if (!ColumnNames(tableName, "clsDataBase.TableFieldsList", names))
        return {};
    return SelectList(tableName, names);
}

std::string clsDataBase::TableFieldsListOrdered(const std::string& tableName) {
    std::vector<std::string> names;
    if (!ColumnNames(tableName, "clsDataBase.TableFieldsListOrdered", names))
        return {};
    if (!names.empty())
        QuickSortStrings(names, 0, static_cast<int>(names.size()) - 1);
    return SelectList(tableName, names);
}

// ---------------------------------------------------------------- stored files

void clsDataBase::StoreFile(const std::string& table, const std::string& field,
                            const std::string& where, const std::string& fileName) {
    Bytes data;
    const bool haveFile =
        !fileName.empty() && FileExists(fileName) && ReadWholeFile(fileName, data);
    const std::string sql = "UPDATE " + table + " SET " + field + " = ? WHERE " + where + ";";
    lastSQL_ = sql;
    OdbcStatement st(connection_);
    OdbcError error;
    if (!st.ExecuteWithBlob(sql, haveFile ? &data : nullptr, error)) {
        lastError_ = error;
        ReportFailure("clsDataBase.StoreFile", error.Text());
    }
}

Result<std::optional<Bytes>> clsDataBase::FetchBlob(const std::string& sql) {
    Rows rows;
    if (!Query(sql, rows))
        return Result<std::optional<Bytes>>::Failure(lastError_.Text());
    if (rows.data.empty() || rows.data[0].empty() || rows.data[0][0].IsNull())
        return std::optional<Bytes>();
    const Variant& v = rows.data[0][0];
    if (auto b = v.get<Bytes>())
        return std::optional<Bytes>(*b);
    const std::string s = v.ToString();
    return std::optional<Bytes>(Bytes(s.begin(), s.end()));
}

void clsDataBase::PutInRegFile(const std::string& informeNombre, const std::string& informeTipo,
                               const std::string& archivoRPTNombre) {
    const std::string name = SQLEscape(informeNombre);
    if (!Run("Replace INTO informeespecial (Nombre, Familia) VALUES ('" + name + "','" +
             SQLEscape(informeTipo) + "');")) {
        ReportFailure("clsDataBase.PutInRegFile", lastError_.Text());
        return;
    }
    Rows rows;
    if (!Query("Select * From informeespecial Where Nombre = '" + name + "';", rows)) {
        ReportFailure("clsDataBase.PutInRegFile", lastError_.Text());
        return;
    }
    if (!rows.data.empty())
        StoreFile("informeespecial", "ArchivoRPT", "Nombre = '" + name + "'", archivoRPTNombre);
}

void clsDataBase::PutInReportFile(const std::string& informeNombre, const std::string& informeTipo,
                                  const std::string& archivoRPTNombre) {
    PutInRegFile(informeNombre, informeTipo, archivoRPTNombre);
}

void clsDataBase::GetOutReportFile(const std::string& informeNombre,
                                   const std::string& reportFileName) {
    if (FileExists(reportFileName))
        std::remove(reportFileName.c_str());
    const auto blob = FetchBlob("Select ArchivoRPT From informeespecial Where Nombre = '" +
                                SQLEscape(informeNombre) + "';");
    if (!blob) {
        ReportFailure("clsDataBase.GetOutReportFile", blob.error());
        return;
    }
    if (*blob && !WriteWholeFile(reportFileName, **blob))
        ReportFailure("clsDataBase.GetOutReportFile", "cannot write " + reportFileName);
}

void clsDataBase::WriteFileToDB(const std::string& table, const std::string& fieldName,
                                const std::string& idFieldName, std::string& id,
                                const std::string& fileName) {
    id = TrimSpaces(id);
    const std::string key = SQLEscape(id);
    const std::string select = "Select " + idFieldName + ", " + table + ".* From " + table +
                               " Where " + idFieldName + " = '" + key + "';";
    Rows rows;
    if (!Query(select, rows)) {
        WriteProgramLog("WriteFileToDB: " + lastError_.Text());
        return;
    }
    if (rows.data.empty()) {
        if (!Run("Insert Into " + table + " (" + idFieldName + ") Values ('" + key + "');"))
            WriteProgramLog("WriteFileToDB: " + lastError_.Text());
        if (!Query(select, rows)) {
            WriteProgramLog("WriteFileToDB: " + lastError_.Text());
            return;
        }
    }
    if (!rows.data.empty())
        StoreFile(table, fieldName, idFieldName + " = '" + key + "'", fileName);
}

void clsDataBase::ReadFileFromDB(const std::string& table, const std::string& fieldName,
                                 const std::string& idFieldName, const std::string& id,
                                 const std::string& fileName) {
    const auto blob = FetchBlob("Select " + fieldName + " From " + table + " Where " + idFieldName +
                                " = '" + SQLEscape(id) + "';");
    if (!blob) {
        WriteProgramLog("ReadFileFromDB: " + blob.error());
        return;
    }
    if (!*blob)
        return;
    if (FileExists(fileName))
        std::remove(fileName.c_str());
    if (!WriteWholeFile(fileName, **blob))
        WriteProgramLog("ReadFileFromDB: cannot write " + fileName);
}

void clsDataBase::UpdatePrintLogo() {
    for (const char* logo : {"InformeLogo", "TicketLogo"}) {
        const std::string id = logo;
        const std::string file = Globals::AppPath + "FTP/Other/" + id + ".jpg";
        if (FileExists(file))
            std::remove(file.c_str());
        if (!Run("Update opcion Set opcion.VarCharValor = '' Where opcion.ID = '" + id + "';"))
            return ReportFailure("clsDataBase.UpdatePrintLogo", lastError_.Text());
        const auto blob = FetchBlob("Select BlobValor From opcion Where ID = '" + id + "';");
        if (!blob)
            return ReportFailure("clsDataBase.UpdatePrintLogo", blob.error());
        if (!*blob)
            continue;
        if (!WriteWholeFile(file, **blob))
            return ReportFailure("clsDataBase.UpdatePrintLogo", "cannot write " + file);
        if (!Run("Update opcion Set opcion.VarCharValor = Now() Where opcion.ID = '" + id + "';"))
            return ReportFailure("clsDataBase.UpdatePrintLogo", lastError_.Text());
    }
}

void clsDataBase::Articulo2INI(const std::string& articuloID, const std::string& archivoININombre,
                               bool) {
    Rows rows;
    if (!Query("Select *, Trim(Concat_WS(' ',NombreES, NombreCN)) as NombreESCN, "
               "Trim(Concat_WS(' ',NombreCN, NombreES)) as NombreCNES From articulo Where "
               "articulo.ArticuloID = '" +
                   SQLEscape(articuloID) + "';",
               rows)) {
        ReportFailure("clsDataBase.Articulo2INI", lastError_.Text());
        return;
    }
    if (rows.data.empty())
        return;
    std::string file = archivoININombre;
    for (size_t c = 0; c < rows.columns.size(); ++c) {
        const Variant& v = rows.data[0][c];
        if (v.IsNull())
            continue;
        const std::string name = rows.columns[c].name;
        const std::string text =
            TrimSpaces(name).rfind("Precio", 0) == 0 ? FormatFixed2(v.ToDouble()) : v.ToString();
        SetINIValue("Articulo", name, text, file);
    }
}

} // namespace zenta
