#include "BinaryLog.h"

#include "Common.h"
#include "Text.h"

namespace zenta {

std::vector<std::string> BinaryLogSettings::Problems() const {
    std::vector<std::string> problems;
    if (!logBin)
        return {"the server keeps no binary log (log_bin is OFF)"};
    if (AsciiUpperCase(format) != "ROW")
        problems.push_back("binlog_format is " + format + ", not ROW");
    if (serverId == 0)
        problems.push_back("server_id is 0");
    if (syncBinlog != 1)
        problems.push_back("sync_binlog is " + std::to_string(syncBinlog) +
                           ", not 1 (a power cut may lose the last commits from the log)");
    if (expireSeconds > 0 && expireSeconds < 7 * 86400LL)
        problems.push_back("the log is kept only " + std::to_string(expireSeconds / 3600) +
                           " hours (binlog_expire_logs_seconds), less than 7 days");
    return problems;
}

std::string BinaryLogSettings::Text() const {
    if (!logBin)
        return "off";
    return "on (" + format + ", server_id " + std::to_string(serverId) + ", sync_binlog " +
           std::to_string(syncBinlog) + ", " +
           (expireSeconds > 0 ? "kept " + std::to_string(expireSeconds / 86400) + " days"
                              : std::string("never purged by age")) +
           ")";
}

Result<BinaryLogSettings> ReadBinaryLogSettings(clsDataBase& db) {
    db.CreatDatasArray("SELECT @@log_bin, @@binlog_format, @@server_id, @@sync_binlog, "
                       "@@binlog_expire_logs_seconds, @@expire_logs_days;");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return Result<BinaryLogSettings>::Failure("the server's binary-log settings cannot be "
                                                  "read: " +
                                                  db.LastError().Text());
    BinaryLogSettings s;
    s.logBin = db.DatasArrayValue(0, 0).ToInt64() != 0;
    s.format = db.DatasArrayValue(0, 1).ToString();
    s.serverId = static_cast<long>(db.DatasArrayValue(0, 2).ToInt64());
    s.syncBinlog = static_cast<long>(db.DatasArrayValue(0, 3).ToInt64());
    s.expireSeconds = db.DatasArrayValue(0, 4).ToInt64();
    if (s.expireSeconds == 0)
        s.expireSeconds = static_cast<long long>(db.DatasArrayValue(0, 5).ToDouble() * 86400);
    return s;
}

BinaryLogPosition SnapshotBinaryLogPosition(clsDataBase& db) {
    BinaryLogPosition p;
    db.CreatDatasArray("SHOW STATUS LIKE 'binlog_snapshot%';");
    if (!db.ConnectionStatus())
        return p;
    const auto rows = db.DatasArray();
    for (long r = 0; r < rows->Count(1); ++r) {
        const std::string name = AsciiLowerCase(rows->Value(r, 0).ToString());
        if (name == "binlog_snapshot_file")
            p.file = rows->Value(r, 1).ToString();
        else if (name == "binlog_snapshot_position")
            p.position = rows->Value(r, 1).ToInt64();
    }
    // The GTID position of the snapshot itself; @@gtid_binlog_pos would be the server's
    // position now, later than the snapshot by whatever the tills committed meanwhile.
    if (p.known()) {
        db.CreatDatasArray("SELECT BINLOG_GTID_POS('" + SQLEscape(p.file) + "', " +
                           std::to_string(p.position) + "), UNIX_TIMESTAMP();");
        if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0) {
            p.gtid = db.DatasArrayValue(0, 0).ToString();
            p.taken = static_cast<std::time_t>(db.DatasArrayValue(0, 1).ToInt64());
        }
    }
    return p;
}

Result<std::vector<ServerLogFile>> ServerLogFiles(clsDataBase& db) {
    db.CreatDatasArray("SHOW BINARY LOGS;");
    if (!db.ConnectionStatus())
        return Result<std::vector<ServerLogFile>>::Failure(
            "the server's log files cannot be listed: " + db.LastError().Text());
    std::vector<ServerLogFile> files;
    const auto rows = db.DatasArray();
    for (long r = 0; r < rows->Count(1); ++r)
        files.push_back({rows->Value(r, 0).ToString(), rows->Value(r, 1).ToInt64()});
    return files;
}

Result<ServerLogPosition> ServerCurrentPosition(clsDataBase& db) {
    db.CreatDatasArray("SHOW MASTER STATUS;");
    if (!db.ConnectionStatus())
        return Result<ServerLogPosition>::Failure("the server's log position cannot be read: " +
                                                  db.LastError().Text());
    if (db.DatasArray()->Count(1) == 0)
        return Result<ServerLogPosition>::Failure("the server keeps no binary log");
    return ServerLogPosition{db.DatasArrayValue(0, 0).ToString(),
                             db.DatasArrayValue(0, 1).ToInt64()};
}

std::optional<long long> ClosingEventEnd(clsDataBase& db, const std::string& file,
                                         long long position) {
    db.CreatDatasArray("SHOW BINLOG EVENTS IN '" + SQLEscape(file) + "' FROM " +
                       std::to_string(position) + " LIMIT 1;");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return std::nullopt;
    const std::string type = db.DatasArrayValue(0, 2).ToString();
    if (type != "Stop" && type != "Rotate")
        return std::nullopt;
    return db.DatasArrayValue(0, 4).ToInt64();
}

bool ServerEventAt(clsDataBase& db, const std::string& file, long long at, long long end) {
    db.CreatDatasArray("SHOW BINLOG EVENTS IN '" + SQLEscape(file) + "' FROM " +
                       std::to_string(at) + " LIMIT 1;");
    return db.ConnectionStatus() && db.DatasArray()->Count(1) > 0 &&
           db.DatasArrayValue(0, 1).ToInt64() == at && db.DatasArrayValue(0, 4).ToInt64() == end;
}

std::optional<GtidState> ServerFileBegins(clsDataBase& db, const std::string& file) {
    db.CreatDatasArray("SHOW BINLOG EVENTS IN '" + SQLEscape(file) + "' LIMIT 4;");
    if (!db.ConnectionStatus())
        return std::nullopt;
    for (long r = 0; r < db.DatasArray()->Count(1); ++r)
        if (db.DatasArrayValue(r, 2).ToString() == "Gtid_list") {
            std::string list = TrimSpaces(db.DatasArrayValue(r, 5).ToString());
            if (list.size() < 2 || list.front() != '[' || list.back() != ']')
                return std::nullopt;
            return ParseGtidState(list.substr(1, list.size() - 2));
        }
    return std::nullopt;
}

bool FlushBinaryLogs(clsDataBase& db) {
    db.SQLExecute("FLUSH BINARY LOGS;");
    return db.ConnectionStatus();
}

bool ServerWentAway(const clsDataBase& db) {
    for (const auto& r : db.LastError().records) {
        if (r.state.rfind("08", 0) == 0)
            return true;
        switch (r.native) {
        case 1053: // the server is shutting down
        case 1927: // the connection was killed
        case 2002: // no server at the socket
        case 2003: // no server at the address
        case 2006: // the server has gone away
        case 2013: // the connection was lost during a query
        case 2055: // the connection was lost
        case 4031: // ended by the server for inactivity
            return true;
        default:
            break;
        }
    }
    return false;
}

} // namespace zenta
