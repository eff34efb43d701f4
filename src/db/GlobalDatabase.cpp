#include "GlobalDatabase.h"

#include "ComputerIdentity.h"
#include "ErrorMode.h"
#include "PairRecord.h"
#include "Settings.h"
#include "Text.h"

#include <cmath>
#include <memory>

namespace zenta {

namespace {
std::unique_ptr<clsDataBase>& Instance() {
    static std::unique_ptr<clsDataBase> db;
    return db;
}
} // namespace

bool ServerIsLocal = false;

clsDataBase& DataBase() {
    auto& db = Instance();
    if (!db)
        db = std::make_unique<clsDataBase>();
    return *db;
}

bool HasDataBase() {
    return Instance() != nullptr;
}

void ReleaseDataBase() {
    Instance().reset();
}

long ConfiguredMySQLPort() {
    double v = Val(GetSetting("MySQL", "MySQLPort", ""));
    long port = (v > 2147483647.0 || v < -2147483648.0) ? 0 : static_cast<long>(std::nearbyint(v));
    if (port < 0 || port > 65535) {
        // The driver would wrap it round to some other port, perhaps another server's.
        static long reported = 0;
        if (reported != port)
            WriteProgramLog("MySQLPort=" + std::to_string(port) +
                            " in zentamarket.ini is not a port (1-65535); using 3306");
        reported = port;
        return 3306;
    }
    return port == 0 ? 3306 : port;
}

std::string ConfiguredMySQLHost() {
    const std::string host = TrimBlanks(GetSetting("MySQL", "MySQLHost", ""));
    return host.empty() ? "localhost" : host;
}

void ConnectDataBase() {
    const std::string host = ConfiguredMySQLHost();
    const long port = ConfiguredMySQLPort();
    Instance().reset();
    clsDataBase& db = DataBase();
    db.Connect(host, port, "zentasupermarket", kBackOfficeUser, kBackOfficePassword);
    // One line when the database goes away and one when it is back, not one per attempt.
    static bool away = false;
    const std::string where = host + ":" + std::to_string(port);
    if (!db.ConnectionStatus() && !away)
        WriteProgramLog("the database at " + where +
                        " cannot be reached: " + db.LastError().Text());
    else if (db.ConnectionStatus() && away)
        WriteProgramLog("the database at " + where + " can be reached again");
    away = !db.ConnectionStatus();
    if (db.ConnectionStatus()) {
        // A pair's two computers each name their own server (the other is [Standby] Host).
        ServerIsLocal = IsThisComputer(host) || ConfiguredPartner().has_value();
        DecideServerIsStandby(db);
    }
}

} // namespace zenta

namespace zenta {

bool EnsureConnected() {
    if (!DataBase().ConnectionStatus())
        ConnectDataBase();
    return DataBase().ConnectionStatus();
}

std::atomic<bool> ServerIsStandby{false};

bool DatabaseJobsHere() {
    return ServerIsLocal && !ServerIsStandby;
}

void DecideServerIsStandby(clsDataBase& db) {
    if (!ConfiguredPartner()) {
        ServerIsStandby = false;
        return;
    }
    db.CreatDatasArray("SELECT @@read_only, @@server_id;");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return; // as it was
    const bool readOnly = db.DatasArrayValue(0, 0).ToInt64() != 0;
    const long self = static_cast<long>(db.DatasArrayValue(0, 1).ToInt64());
    const auto record = ReadPairRecord(db);
    if (!record)
        return;
    ServerIsStandby = readOnly || !*record || (*record)->primaryServerId != self;
}

} // namespace zenta
