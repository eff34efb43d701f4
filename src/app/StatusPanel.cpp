#include "StatusPanel.h"

#include "ComputerIdentity.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Settings.h"
#include "TodoSobreMySQLServer.h"

namespace zenta {

std::string RefreshStatusText() {
    if (!EnsureConnected())
        return {};
    clsDataBase& db = DataBase();
    const std::string odbc = db.ODBCVersion();
    const std::string dataPath = db.DataPath();
    const std::string mysql = db.MySQLVersion();
    std::string dbVersion;
    db.CreatDatasArray("Select Integervalor / 100 From opcion Where ID = 'Version';");
    if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
        dbVersion = FormatFixed2(db.DatasArrayValue(0, 0).ToDouble());
    std::string lockWait;
    db.CreatDatasArray("Show variables Like 'innodb_lock_wait_timeout';;");
    if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
        lockWait = db.DatasArrayValue(0, 1).ToString();
    const std::string connectionId = db.ConnectionID();
    const std::string host = GetSetting("MySQL", "MySQLHost", "");
    const std::string location = IsMySQLServerLocal(host) ? "本地" : host;
    const std::string port = std::to_string(db.MySQLPort());
    const std::string crlf = "\r\n";
    return crlf + "数据库位置: " + location + "[" + dataPath + "]" + crlf + "数据库版本 Ver. " +
           dbVersion + crlf + "MySQL版本 Ver. " + mysql + " [" + port + "]" + crlf +
           "MyODBC版本 Ver. " + odbc + crlf + "InnoDB锁定超时: " + lockWait + crlf + crlf +
           "本机  IP: " + GetLocalIP() + crlf + "MySQL ID: " + connectionId;
}

std::string TitleText() {
    return "泽川商贸管理专家--监控程序\r\nVer." + ProgramVersionText();
}

} // namespace zenta
