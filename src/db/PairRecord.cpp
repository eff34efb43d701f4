#include "PairRecord.h"

#include "Common.h"
#include "DatabaseTools.h"
#include "Settings.h"
#include "Text.h"

namespace zenta {

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
    for (const auto& sql : statements)
        if (const auto done = db.Execute(sql); !done)
            return Result<Done>::Failure("the pair's record cannot be written: " + done.error());
    return Done{};
}

Result<Done> ForgetPairRecord(clsDataBase& db) {
    UnloggedSession unlogged(db);
    if (const auto dropped = db.Execute("DROP TABLE IF EXISTS " + kTable + ";"); !dropped)
        return Result<Done>::Failure("the pair's record cannot be removed: " + dropped.error());
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

} // namespace zenta
