#include "TodoSobreMySQLServer.h"

#include "Common.h"
#include "ComputerIdentity.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Text.h"

namespace zenta {

bool IsMySQLServerLocal(const std::string& host) {
    return IsThisComputer(host);
}

namespace {
std::optional<DateTime> AskServer(const char* sql, DateTime::Kind kind) {
    clsDataBase& db = DataBase();
    if (db.MySQLServer()) {
        DateTime now = DateTime::Now();
        if (kind == DateTime::Kind::Date) {
            now.hour = now.minute = now.second = 0;
            now.kind = kind;
        }
        return now;
    }
    db.CreatDatasArray(sql);
    auto d = db.DatasArrayValue(0, 0).ToDate();
    if (!db.ConnectionStatus() || !d) {
        ReportFailure("MySQLServerNow", "the server's clock cannot be read");
        return std::nullopt;
    }
    d->kind = kind;
    return *d;
}
} // namespace

std::optional<DateTime> MySQLServerNow() {
    return AskServer("SELECT  NOW();", DateTime::Kind::Timestamp);
}

std::optional<DateTime> MySQLServerDate() {
    return AskServer("SELECT  CurDate();", DateTime::Kind::Date);
}

} // namespace zenta
