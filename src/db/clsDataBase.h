#pragma once

#include "Odbc.h"
#include "Result.h"
#include "Variant.h"
#include "XArrayDB.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zenta {

// The program's one connection to the suite's database, and every statement, script,
// transaction, result array, schema probe and stored file that passes through it.
//
// ConnectionStatus() reports the outcome of the last connection attempt or statement. Failed
// statements are written to Log/<executable>-NoRunSQL.log in the program folder, never thrown.
class clsDataBase {
  public:
    static constexpr const char* kDefaultDatabase = "zentasupermarket";
    static constexpr const char* kDefaultUser = "zentasupermarket";
    static constexpr const char* kDefaultPassword = "mavokert204715638290";
    static constexpr long kDriverOptions = 268453931;
    static constexpr long kCompressedProtocolOption = 2048; // one of kDriverOptions' flags
    static constexpr const char* kDriverUltimate = "MySQL ODBC Driver 3.51.ultimate";
    static constexpr const char* kDriver28 = "MySQL ODBC Driver 3.51.28";
    static constexpr const char* kDriver17 = "MySQL ODBC Driver 3.51.17";

    clsDataBase();
    ~clsDataBase();
    clsDataBase(const clsDataBase&) = delete;
    clsDataBase& operator=(const clsDataBase&) = delete;

    // ---- connection (always returns False; read ConnectionStatus) ----
    bool Connect(const std::string& host, long port, const std::string& database = "",
                 const std::string& user = "", const std::string& password = "");
    void ConnectionString(const std::string& connectionString); // applies it
    const std::string& ConnectionString() const { return connectionString_; }
    void ProgramaVersion(const std::string& v) { programaVersion_ = v; }
    const std::string& ProgramaVersion() const { return programaVersion_; }
    const std::string& MySQLUserName() const { return userName_; }
    const std::string& MySQLHost() const { return host_; }
    long MySQLPort() const { return port_; }
    bool ConnectionStatus() const { return status_; }
    std::string MySQLVersion();
    const std::string& ODBCVersion() const { return odbcVersion_; }
    const std::string& ODBCDriverName() const { return driverName_; }
    bool IsMySQL5();
    bool MySQLServer() const { return mySQLServer_; }
    std::string ConnectionID();
    // The server's data folder, ending in "/".
    std::string DataPath();
    static std::string BuildConnectionString(const std::string& driver, const std::string& host,
                                             long port, const std::string& database,
                                             const std::string& user, const std::string& password);

    // ---- result arrays ----
    std::shared_ptr<XArrayDB> DatasArray();
    double ArrayColTotal(long col);
    Variant DatasArrayValueByField(long row, const std::string& fieldName, bool isString = false);
    Variant DatasArrayValue(long row, long col, bool isString = false);
    void CreatDatasArray(const std::string& sql, const std::string& filter = "");
    long RecordTotal() const { return recordTotal_; }

    // ---- statements ----
    void SQLExecute(const std::string& sql);
    bool SQLExecuteFromFile(const std::string& path);
    void StartTrans();
    void CommitTrans();
    // Undoes the open transaction and returns to autocommit.
    void RollbackTrans();
    const std::string& LastSQL() const { return lastSQL_; }

    // ---- the same, saying how they went, for the program's own code ----
    // SQLExecute (logged, ConnectionStatus set as ever): done, or the failure's diagnostics.
    Result<Done> Execute(const std::string& sql);
    // CreatDatasArray: the rows (also left in DatasArray), or the failure's diagnostics.
    Result<std::shared_ptr<XArrayDB>> Select(const std::string& sql);
    // Diagnostics of the last failure, kept whole.
    const OdbcError& LastError() const { return lastError_; }

    // ---- stored files ----
    void PutInRegFile(const std::string& informeNombre, const std::string& informeTipo,
                      const std::string& archivoRPTNombre);
    void PutInReportFile(const std::string& informeNombre, const std::string& informeTipo,
                         const std::string& archivoRPTNombre);
    void GetOutReportFile(const std::string& informeNombre, const std::string& reportFileName);
    void WriteFileToDB(const std::string& table, const std::string& fieldName,
                       const std::string& idFieldName, std::string& id,
                       const std::string& fileName);
    void ReadFileFromDB(const std::string& table, const std::string& fieldName,
                        const std::string& idFieldName, const std::string& id,
                        const std::string& fileName);
    void UpdatePrintLogo();
    void Articulo2INI(const std::string& articuloID, const std::string& archivoININombre,
                      bool alimento = false);

    // ---- schema probes ----
    bool IsTableExists(const std::string& tableName, const std::string& databaseName = "");
    bool IsFieldExists(const std::string& tableName, const std::string& fieldName);
    std::string TableFieldsListOrdered(const std::string& tableName);
    std::string TableFieldsList(const std::string& tableName);

    // A statement as it is sent to a server of that major version: the old table-option
    // spellings of the suite's scripts rewritten in CREATE/ALTER TABLE definitions only.
    static std::string RewriteForServer(const std::string& sql, int versionMajor);

    // The path of the failure log.
    static std::string NoRunSQLLogPath();

  private:
    struct Rows;
    bool Query(const std::string& sql, Rows& rows);
    bool LoadMySQLVersion();
    void WriteNoRunSQLLog(const std::string& statement);
    std::string Rewrite(const std::string& sql);
    bool Run(const std::string& sql); // no logging, no status
    void StoreFile(const std::string& table, const std::string& field, const std::string& where,
                   const std::string& fileName);
    // The first cell of a query's first row: nothing when it is NULL or there is no row.
    Result<std::optional<Bytes>> FetchBlob(const std::string& sql);
    bool ColumnNames(const std::string& tableName, const char* member,
                     std::vector<std::string>& names);

    std::string connectionString_;
    bool status_ = false;
    std::string mySQLVersion_;
    float configuredMySQLVersion_ = 0;
    bool isMySQL5_ = false;
    float mySQLVersionNumber_ = 0;
    int versionMajor_ = 0;
    std::string connectionID_;
    std::string dataPath_;
    bool mySQLServer_ = false;
    OdbcConnection connection_;
    std::string lastSQL_;
    std::shared_ptr<XArrayDB> fieldIndex_;
    std::shared_ptr<XArrayDB> datasArray_;
    long recordTotal_ = 0;
    std::string programaVersion_;
    std::string driverName_;
    std::string odbcVersion_;
    std::string userName_;
    std::string host_;
    long port_ = 0;
    OdbcError lastError_;
};

} // namespace zenta
