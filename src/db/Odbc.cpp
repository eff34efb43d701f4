#include "Odbc.h"

#include "Text.h"

#include <cctype>
#include <cstring>
#include <mutex>

namespace zenta {

namespace {

SQLHENV SharedEnvironment() {
    static SQLHENV env = [] {
        SQLHENV e = SQL_NULL_HENV;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &e)))
            return static_cast<SQLHENV>(SQL_NULL_HENV);
        SQLSetEnvAttr(e, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        return e;
    }();
    return env;
}

} // namespace

std::string OdbcError::Text() const {
    std::string out;
    for (const auto& r : records) {
        if (!out.empty())
            out += "; ";
        out += "[" + r.state + "] (" + std::to_string(r.native) + ") " + r.message;
    }
    return out;
}

void OdbcError::Collect(SQLSMALLINT type, SQLHANDLE handle) {
    records.clear();
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR msg[1024] = {};
        SQLSMALLINT len = 0;
        SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, msg, sizeof msg, &len);
        if (!SQL_SUCCEEDED(rc))
            break;
        records.push_back({reinterpret_cast<char*>(state), native, reinterpret_cast<char*>(msg)});
    }
    if (records.empty())
        records.push_back({"HY000", 0, "unknown ODBC failure"});
}

void OdbcError::Set(const std::string& message) {
    records = {{"HY000", 0, message}};
}

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& o) noexcept {
    if (this != &o) {
        Reset();
        type_ = o.type_;
        handle_ = o.handle_;
        o.handle_ = SQL_NULL_HANDLE;
    }
    return *this;
}

void OdbcHandle::Reset() {
    if (handle_ != SQL_NULL_HANDLE)
        SQLFreeHandle(type_, handle_);
    handle_ = SQL_NULL_HANDLE;
}

std::string WithTimeouts(const std::string& connectionString) {
    // The driver ignores the login time-out for the handshake and waits on a silent server for
    // ever; its own keys bound the handshake and every later read and write. A statement may
    // legitimately run for minutes (a large table written out by the server), so reads get a
    // generous bound, the handshake a short one.
    const std::string upper = AsciiUpperCase(connectionString);
    std::string out = connectionString;
    auto add = [&](const char* key, int seconds) {
        if (upper.find(std::string(key) + "=") != std::string::npos)
            return;
        if (!out.empty() && out.back() != ';')
            out += ';';
        out += std::string(key) + "=" + std::to_string(seconds);
    };
    add("CONN_TIMEOUT", kConnectTimeoutSeconds);
    add("READ_TIMEOUT", kReadTimeoutSeconds);
    add("WRITE_TIMEOUT", kWriteTimeoutSeconds);
    return out;
}

bool OdbcConnection::Open(const std::string& connectionString, OdbcError& error) {
    Close();
    SQLHENV env = SharedEnvironment();
    if (env == SQL_NULL_HENV) {
        error.Set("ODBC environment cannot be created");
        return false;
    }
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        error.Collect(SQL_HANDLE_ENV, env);
        return false;
    }
    dbc_ = OdbcHandle(SQL_HANDLE_DBC, dbc);
    // An unreachable host must not freeze the program for minutes.
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
    const std::string driverString = WithTimeouts(connectionString);
    SQLCHAR out[1024];
    SQLSMALLINT outLen = 0;
    SQLRETURN rc = SQLDriverConnect(
        dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(driverString.c_str())), SQL_NTS,
        out, sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        error.Collect(SQL_HANDLE_DBC, dbc);
        dbc_.Reset();
        return false;
    }
    connected_ = true;
    return true;
}

void OdbcConnection::Close() {
    if (connected_)
        SQLDisconnect(dbc_.get());
    connected_ = false;
    dbc_.Reset();
}

OdbcStatement::OdbcStatement(const OdbcConnection& connection) {
    SQLHSTMT s = SQL_NULL_HSTMT;
    if (connection.IsOpen() &&
        SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection.handle(), &s)))
        stmt_ = OdbcHandle(SQL_HANDLE_STMT, s);
}

bool OdbcStatement::DescribeResult(OdbcError& error) {
    columns_.clear();
    SQLSMALLINT n = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt_.get(), &n))) {
        error.Collect(SQL_HANDLE_STMT, stmt_.get());
        return false;
    }
    for (SQLSMALLINT i = 1; i <= n; ++i) {
        SQLCHAR name[512] = {};
        SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!SQL_SUCCEEDED(SQLDescribeCol(stmt_.get(), i, name, sizeof name, &nameLen, &type, &size,
                                          &digits, &nullable))) {
            error.Collect(SQL_HANDLE_STMT, stmt_.get());
            return false;
        }
        columns_.push_back({reinterpret_cast<char*>(name), type});
    }
    return true;
}

bool OdbcStatement::Execute(const std::string& sql, OdbcError& error) {
    if (!stmt_) {
        error.Set("no open connection");
        return false;
    }
    SQLRETURN rc =
        SQLExecDirect(stmt_.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.data())),
                      static_cast<SQLINTEGER>(sql.size()));
    if (rc == SQL_NO_DATA) {
        columns_.clear();
        return true;
    }
    if (!SQL_SUCCEEDED(rc)) {
        error.Collect(SQL_HANDLE_STMT, stmt_.get());
        return false;
    }
    return DescribeResult(error);
}

bool OdbcStatement::ExecuteWithBlob(const std::string& sql, const Bytes* value, OdbcError& error) {
    if (!stmt_) {
        error.Set("no open connection");
        return false;
    }
    static unsigned char dummy = 0;
    SQLLEN len = value ? static_cast<SQLLEN>(value->size()) : SQL_NULL_DATA;
    SQLPOINTER data = value && !value->empty() ? const_cast<unsigned char*>(value->data()) : &dummy;
    SQLULEN column = value && !value->empty() ? value->size() : 1;
    SQLRETURN rc = SQLBindParameter(stmt_.get(), 1, SQL_PARAM_INPUT, SQL_C_BINARY,
                                    SQL_LONGVARBINARY, column, 0, data, value ? len : 0, &len);
    if (!SQL_SUCCEEDED(rc)) {
        error.Collect(SQL_HANDLE_STMT, stmt_.get());
        return false;
    }
    rc = SQLExecDirect(stmt_.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.data())),
                       static_cast<SQLINTEGER>(sql.size()));
    SQLFreeStmt(stmt_.get(), SQL_RESET_PARAMS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        error.Collect(SQL_HANDLE_STMT, stmt_.get());
        return false;
    }
    columns_.clear();
    return true;
}

bool OdbcStatement::Fetch(OdbcError& error) {
    if (columns_.empty())
        return false;
    SQLRETURN rc = SQLFetch(stmt_.get());
    if (rc == SQL_NO_DATA)
        return false;
    if (!SQL_SUCCEEDED(rc)) {
        error.Collect(SQL_HANDLE_STMT, stmt_.get());
        return false;
    }
    return true;
}

bool OdbcStatement::GetChunked(size_t column, SQLSMALLINT cType, std::string& out, bool& isNull,
                               OdbcError& error) {
    out.clear();
    isNull = false;
    char buf[8192];
    const SQLUSMALLINT col = static_cast<SQLUSMALLINT>(column + 1);
    const size_t terminator = cType == SQL_C_CHAR ? 1 : 0;
    for (;;) {
        SQLLEN ind = 0;
        SQLRETURN rc = SQLGetData(stmt_.get(), col, cType, buf, sizeof buf, &ind);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc)) {
            error.Collect(SQL_HANDLE_STMT, stmt_.get());
            return false;
        }
        if (ind == SQL_NULL_DATA) {
            isNull = true;
            return true;
        }
        size_t room = sizeof buf - terminator;
        size_t got = (ind == SQL_NO_TOTAL || static_cast<size_t>(ind) > room)
                         ? room
                         : static_cast<size_t>(ind);
        out.append(buf, got);
        if (rc == SQL_SUCCESS)
            break;
        if (ind != SQL_NO_TOTAL && static_cast<size_t>(ind) <= room)
            break;
    }
    return true;
}

namespace {

// A text cell of the given SQL type as the program keeps it: a decimal's digits, a date-time,
// bytes, or text.
Variant FromText(SQLSMALLINT type, bool binary, std::string data) {
    switch (type) {
    case SQL_DECIMAL:
    case SQL_NUMERIC:
        return Decimal{data};
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATE:
    case SQL_TIME:
    case SQL_TIMESTAMP:
        if (auto d = DateTime::Parse(data))
            return *d;
        return data;
    default:
        break;
    }
    if (binary)
        return Bytes(data.begin(), data.end());
    return data;
}

} // namespace

bool OdbcStatement::Get(size_t column, Variant& out, OdbcError& error) {
    const SQLSMALLINT type = columns_[column].sqlType;
    const SQLUSMALLINT col = static_cast<SQLUSMALLINT>(column + 1);
    SQLLEN ind = 0;
    switch (type) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
    case SQL_BIT: {
        SQLBIGINT v = 0;
        if (!SQL_SUCCEEDED(SQLGetData(stmt_.get(), col, SQL_C_SBIGINT, &v, sizeof v, &ind))) {
            error.Collect(SQL_HANDLE_STMT, stmt_.get());
            return false;
        }
        out = ind == SQL_NULL_DATA ? Variant(Null{}) : Variant(static_cast<std::int64_t>(v));
        return true;
    }
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: {
        double v = 0;
        if (!SQL_SUCCEEDED(SQLGetData(stmt_.get(), col, SQL_C_DOUBLE, &v, sizeof v, &ind))) {
            error.Collect(SQL_HANDLE_STMT, stmt_.get());
            return false;
        }
        out = ind == SQL_NULL_DATA ? Variant(Null{}) : Variant(v);
        return true;
    }
    default:
        break;
    }
    const bool binary = IsBinaryType(type) || IsLongBinaryType(type);
    std::string data;
    bool isNull = false;
    if (!GetChunked(column, binary ? SQL_C_BINARY : SQL_C_CHAR, data, isNull, error))
        return false;
    out = isNull ? Variant(Null{}) : FromText(type, binary, std::move(data));
    return true;
}

long OdbcStatement::RowCount() const {
    SQLLEN n = -1;
    if (!stmt_ || !SQL_SUCCEEDED(SQLRowCount(stmt_.get(), &n)))
        return -1;
    return static_cast<long>(n);
}

void OdbcStatement::Finish() {
    if (!stmt_)
        return;
    SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    while (SQLMoreResults(stmt_.get()) == SQL_SUCCESS) {
    }
}

bool IsBinaryType(SQLSMALLINT t) {
    return t == SQL_BINARY || t == SQL_VARBINARY;
}
bool IsLongBinaryType(SQLSMALLINT t) {
    return t == SQL_LONGVARBINARY;
}

} // namespace zenta
