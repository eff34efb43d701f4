#include "PairRecord.h"

#include "Common.h"
#include "DatabaseTools.h"
#include "GlobalDatabase.h"
#include "Settings.h"
#include "Text.h"

namespace zenta {

std::atomic<bool> ServerIsStandby{false};

namespace {

const std::string kTable = std::string(kPairRecordDatabase) + ".pair_record";
const char* const kCommandLock = "'zentamarket.pair_command'";

} // namespace

Result<std::optional<PairRecord>> ReadPairRecord(clsDataBase& db) {
    using Read = Result<std::optional<PairRecord>>;
    db.CreatDatasArray("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                       std::string(kPairRecordDatabase) + "' AND TABLE_NAME = 'pair_record';");
    if (!db.ConnectionStatus() || db.DatasArray()->Count(1) == 0)
        return Read::Failure("the pair's record cannot be read: " + db.LastError().Text());
    if (db.DatasArrayValue(0, 0).ToInt64() == 0)
        return std::optional<PairRecord>{};
    db.CreatDatasArray("SELECT primary_server_id, promotion_gtid, "
                       "IFNULL(DATE_FORMAT(promoted_at, '%Y-%m-%d %H:%i:%s'), ''), "
                       "DATE_FORMAT(changed_at, '%Y-%m-%d %H:%i:%s') FROM " +
                       kTable + " WHERE id = 1;");
    if (!db.ConnectionStatus())
        return Read::Failure("the pair's record cannot be read: " + db.LastError().Text());
    if (db.DatasArray()->Count(1) == 0)
        return std::optional<PairRecord>{};
    PairRecord r;
    r.primaryServerId = static_cast<long>(db.DatasArrayValue(0, 0).ToInt64());
    r.promotionGtid = db.DatasArrayValue(0, 1, true).ToString();
    r.promotedAt = db.DatasArrayValue(0, 2, true).ToString();
    r.changedAt = db.DatasArrayValue(0, 3, true).ToString();
    return std::optional<PairRecord>{r};
}

Result<Done> WritePairRecord(clsDataBase& db, const PairRecord& record) {
    UnloggedSession unlogged(db);
    const std::vector<std::string> statements = {
        "CREATE DATABASE IF NOT EXISTS " + std::string(kPairRecordDatabase) + ";",
        "CREATE TABLE IF NOT EXISTS " + kTable +
            " (id TINYINT NOT NULL PRIMARY KEY, primary_server_id INT UNSIGNED NOT NULL, "
            "promotion_gtid VARCHAR(1024) NOT NULL DEFAULT '', promoted_at DATETIME NULL, "
            "changed_at DATETIME NOT NULL) ENGINE=InnoDB;",
        "REPLACE INTO " + kTable + " VALUES (1, " + std::to_string(record.primaryServerId) + ", '" +
            SQLEscape(record.promotionGtid) + "', " +
            (record.promotedAt.empty() ? std::string("NULL")
                                       : "'" + SQLEscape(record.promotedAt) + "'") +
            ", NOW());",
    };
    for (const auto& sql : statements) {
        db.SQLExecute(sql);
        if (!db.ConnectionStatus())
            return Result<Done>::Failure("the pair's record cannot be written: " +
                                         db.LastError().Text());
    }
    return Done{};
}

Result<Done> ForgetPairRecord(clsDataBase& db) {
    UnloggedSession unlogged(db);
    db.SQLExecute("DROP TABLE IF EXISTS " + kTable + ";");
    if (!db.ConnectionStatus())
        return Result<Done>::Failure("the pair's record cannot be removed: " +
                                     db.LastError().Text());
    return Done{};
}

void HoldPairCommandLock(clsDataBase& db) {
    // Not waited for: two commands at once are each told by the servers' own refusals.
    db.CreatDatasArray(std::string("SELECT GET_LOCK(") + kCommandLock + ", 0);");
}

bool PairCommandRunning(clsDataBase& db) {
    db.CreatDatasArray(std::string("SELECT IS_USED_LOCK(") + kCommandLock +
                       ") IS NOT NULL AND IS_USED_LOCK(" + kCommandLock + ") <> CONNECTION_ID();");
    return db.ConnectionStatus() && db.DatasArray()->Count(1) > 0 &&
           db.DatasArrayValue(0, 0).ToInt64() == 1;
}

std::optional<PartnerAddress> ConfiguredPartner() {
    const std::string host = TrimBlanks(GetSetting("Standby", "Host", ""));
    if (host.empty())
        return std::nullopt;
    return PartnerAddress{host, GetSettingNumber("Standby", "Port", 3306, 1)};
}

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
