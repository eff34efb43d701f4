#include "AutoTicket.h"

#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "JobNotes.h"
#include "JobOutcomes.h"
#include "Opcion.h"
#include "TodoSobreMySQLServer.h"
#include "Transaction.h"

#include <cstdlib>

namespace zenta {

std::optional<DateTime> TicketCutOffDay(long code, const DateTime& today) {
    switch (code) {
    case 0:
        return today.AddDays(-1);
    case 1:
        return today.AddDays(-7);
    case 2:
        return today.AddMonths(-1);
    case 3:
        return today.AddMonths(-2);
    case 4:
        return today.AddMonths(-3);
    case 5:
        return today.AddMonths(-4);
    case 6:
        return today.AddMonths(-6);
    default:
        return std::nullopt;
    }
}

std::int64_t TicketNumberBound(const DateTime& c) {
    const std::int64_t yymmdd = (c.year % 100) * 10000 + c.month * 100 + c.day;
    return yymmdd * 10000 + 9999;
}

namespace {

// The rows through the cut-off day deleted, table by table, inside the caller's transaction;
// "table rows" for the log (a failed statement is "failed"), and the rows in all.
struct Purged {
    std::string counts;
    long long total = 0;
};
Purged DeleteThrough(clsDataBase& db, const DateTime& cutOff) {
    Purged purged;
    // Rows the statement just run deleted, for the log.
    auto count = [&](const char* table) {
        const bool ran = db.ConnectionStatus();
        db.CreatDatasArray("SELECT ROW_COUNT();");
        const std::string rows = ran && db.ConnectionStatus() && db.DatasArray()->Count(1) > 0
                                     ? db.DatasArrayValue(0, 0).ToString()
                                     : std::string("failed");
        purged.counts += (purged.counts.empty() ? "" : ", ") + std::string(table) + " " + rows;
        purged.total += std::atoll(rows.c_str());
    };
    const std::string n = std::to_string(TicketNumberBound(cutOff));
    const std::string c = cutOff.DateText();
    db.SQLExecute("Delete From ticket Where TicketNo <= " + n + ";");
    count("ticket");
    db.SQLExecute("Delete From ticketarticulo Where TicketNo <= " + n + ";");
    count("ticketarticulo");
    for (const char* table : {"ticketcobro", "articuloeliminado", "ticketdiariototal",
                              "ventadiariototal", "gananciadiariototal"}) {
        db.SQLExecute(std::string("DELETE FROM ") + table +
                      " WHERE Date_Format(Fecha, '%Y-%m-%d') <= '" + c + "'; ");
        count(table);
    }
    return purged;
}

} // namespace

void AutoDeleteTickets() {
    clsDataBase& db = DataBase();
    if (!OpcionBool(db, "AutoEliminarTicket", false)) {
        NoteJob("ticket purge", "not due: the purge is off (AutoEliminarTicket is 0)");
        return;
    }
    db.CreatDatasArray("select to_days(now()) - IntegerValor from opcion where id = "
                       "'UltimaFechaAutoEliminarTicket';");
    if (!db.ConnectionStatus()) {
        ReportFailure("AutoDeleteTickets", "the day of the last purge cannot be read");
        return;
    }
    if (db.DatasArray()->Count(1) > 0 && db.DatasArrayValue(0, 0).ToInt64() == 0) {
        NoteJob("ticket purge", "not due: today's purge is made (UltimaFechaAutoEliminarTicket)");
        return;
    }
    const long code = OpcionInteger(db, "AutoEliminarTicketPeriodo", 0);
    // Never purge against a made-up date.
    const auto today = MySQLServerDate();
    if (!today) {
        ReportFailure("AutoDeleteTickets", "the server's date cannot be read; nothing purged");
        return;
    }
    const auto cutOff = TicketCutOffDay(code, *today);

    // One transaction for the whole purge; it is committed even when a table failed, as the
    // suite's purge does (the next purge deletes what this one left).
    Transaction purge(db);
    const Purged purged = cutOff ? DeleteThrough(db, *cutOff) : Purged{};
    const std::string& counts = purged.counts;
    const long long total = purged.total;
    db.SQLExecute("REPLACE INTO opcion (ID, IntegerValor)  VALUES "
                  "('UltimaFechaAutoEliminarTicket',to_days(now()));");
    const bool committed = purge.Commit();
    const std::string through = cutOff ? cutOff->DateText() : std::string("(no cut-off day)");
    WriteProgramLog("tickets purged through " + through + ": " +
                    (counts.empty() ? std::string("nothing") : counts));
    NoteJob("ticket purge", std::string(committed ? "ran" : "failed") + ", through " + through +
                                ": " + std::to_string(total) + " rows deleted");
    RecordOutcome("TicketPurge", {{"Time", DateTime::Now().StampText()},
                                  {"Through", through},
                                  {"Rows", counts},
                                  {"Total", std::to_string(total)},
                                  {"Result", committed ? "done" : "failed"}});
}

} // namespace zenta
