#include "BinaryLog.h"

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
    db.CreatDatasArray("SELECT @@gtid_binlog_pos;");
    if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
        p.gtid = db.DatasArrayValue(0, 0).ToString();
    return p;
}

} // namespace zenta
