#include "DatabaseTools.h"

#include "Common.h"

namespace zenta {

std::string QuotedName(const std::string& identifier) {
    return "`" + ReplaceAll(identifier, "`", "``") + "`";
}

bool DatabaseExists(clsDataBase& db, const std::string& name) {
    db.CreatDatasArray("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = '" +
                       SQLEscape(name) + "';");
    return db.ConnectionStatus() && db.DatasArray()->Count(1) > 0 &&
           db.DatasArrayValue(0, 0).ToInt64() > 0;
}

std::vector<std::string> TablesOf(clsDataBase& db, const std::string& database) {
    std::vector<std::string> tables;
    db.CreatDatasArray("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                       SQLEscape(database) + "' ORDER BY TABLE_NAME;");
    if (!db.ConnectionStatus())
        return tables;
    const auto rows = db.DatasArray();
    for (long r = 0; r < rows->Count(1); ++r)
        tables.push_back(rows->Value(r, 0).ToString());
    return tables;
}

UnloggedSession::UnloggedSession(clsDataBase& db) : db_(db) {
    db_.CreatDatasArray("SELECT @@SESSION.sql_log_bin;");
    was_ = !db_.ConnectionStatus() || db_.DatasArray()->Count(1) == 0 ||
           db_.DatasArrayValue(0, 0).ToInt64() != 0;
    db_.SQLExecute("SET SESSION sql_log_bin = 0;");
}

UnloggedSession::~UnloggedSession() {
    if (was_)
        db_.SQLExecute("SET SESSION sql_log_bin = 1;");
}

} // namespace zenta
