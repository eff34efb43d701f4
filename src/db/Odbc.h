#pragma once

#include "Variant.h"

#include <sql.h>
#include <sqlext.h>
#include <string>
#include <vector>

namespace zenta {

// Bounds on every wait for the server. The read bound covers a statement the server works on
// without answering (a large table written to a file), so it is long; none is endless.
constexpr int kConnectTimeoutSeconds = 10;
constexpr int kReadTimeoutSeconds = 900;
constexpr int kWriteTimeoutSeconds = 120;
// The connection string handed to the driver: the caller's, with the driver's time-out keys
// added where it names none.
std::string WithTimeouts(const std::string& connectionString);

// One diagnostic record, kept whole: SQLSTATE, the server's native code and its message.
struct OdbcDiagnostic {
    std::string state;
    long native = 0;
    std::string message;
};

struct OdbcError {
    std::vector<OdbcDiagnostic> records;
    bool empty() const { return records.empty(); }
    std::string Text() const; // "[HY000] (1064) message; ..."
    void Collect(SQLSMALLINT type, SQLHANDLE handle);
    void Set(const std::string& message);
};

// Move-only owner of one ODBC handle.
class OdbcHandle {
  public:
    OdbcHandle() = default;
    OdbcHandle(SQLSMALLINT type, SQLHANDLE handle) : type_(type), handle_(handle) {}
    ~OdbcHandle() { Reset(); }
    OdbcHandle(OdbcHandle&& o) noexcept : type_(o.type_), handle_(o.handle_) {
        o.handle_ = SQL_NULL_HANDLE;
    }
    OdbcHandle& operator=(OdbcHandle&& o) noexcept;
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;

    SQLHANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }
    void Reset();

  private:
    SQLSMALLINT type_ = 0;
    SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

class OdbcConnection {
  public:
    OdbcConnection() = default;
    ~OdbcConnection() { Close(); }
    OdbcConnection(OdbcConnection&&) = default;
    OdbcConnection& operator=(OdbcConnection&&) = default;
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;

    bool Open(const std::string& connectionString, OdbcError& error);
    void Close();
    bool IsOpen() const { return connected_; }
    SQLHDBC handle() const { return dbc_.get(); }

  private:
    OdbcHandle dbc_;
    bool connected_ = false;
};

struct OdbcColumn {
    std::string name;
    SQLSMALLINT sqlType = 0;
};

// One statement on a connection; its cursor is closed when it goes.
class OdbcStatement {
  public:
    explicit OdbcStatement(const OdbcConnection& connection);
    bool ok() const { return static_cast<bool>(stmt_); }

    // Runs a statement. False with the diagnostics in `error`. A statement that returns no
    // rows is a success with no columns.
    bool Execute(const std::string& sql, OdbcError& error);
    // Runs a statement with one long binary parameter (a null one when `value` is null).
    bool ExecuteWithBlob(const std::string& sql, const Bytes* value, OdbcError& error);

    const std::vector<OdbcColumn>& Columns() const { return columns_; }
    // Next row; false at the end or on error (then `error` is filled).
    bool Fetch(OdbcError& error);
    // Cell of the current row, by the column's type: integers, doubles, exact decimals,
    // dates, text (UTF-8), bytes. Variable-length binary comes back as bytes too.
    bool Get(size_t column, Variant& out, OdbcError& error);
    // Rows changed by the last statement; -1 when unknown.
    long RowCount() const;
    // Discards any further result sets of a multi-statement call.
    void Finish();

  private:
    bool DescribeResult(OdbcError& error);
    bool GetChunked(size_t column, SQLSMALLINT cType, std::string& out, bool& isNull,
                    OdbcError& error);

    OdbcHandle stmt_;
    std::vector<OdbcColumn> columns_;
};

// Binary and varbinary columns, and long binary ones: both come back as bytes.
bool IsBinaryType(SQLSMALLINT sqlType);
bool IsLongBinaryType(SQLSMALLINT sqlType);

} // namespace zenta
