#include "RenovarDatos.h"

#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "JobNotes.h"
#include "JobOutcomes.h"
#include "Opcion.h"
#include "Transaction.h"

namespace zenta {

namespace {

// Applies one grouped set of changes. False at the first statement that fails.
bool ApplyStock(clsDataBase& db, long& pairs) {
    db.CreatDatasArray(std::string("SELECT AlmacenID, ArticuloID, Sum(Cantidad) AS CantidadSum ") +
                       "From stockcambio GROUP BY AlmacenID, ArticuloID " +
                       "HAVING CantidadSum <> 0  For Update;");
    if (!db.ConnectionStatus())
        return false;
    const auto totals = db.DatasArray();
    pairs += totals->Count(1);
    for (long r = totals->LowerBound(1); r <= totals->UpperBound(1); ++r) {
        const std::string warehouse = totals->Value(r, 0).ToString();
        const std::string article = SQLEscape(totals->Value(r, 1).ToString());
        const std::string sum = totals->Value(r, 2).ToString();
        db.CreatDatasArray("SELECT ArticuloID FROM stock WHERE AlmacenID = " + warehouse +
                           " AND ArticuloID = '" + article + "' For Update;");
        if (!db.ConnectionStatus())
            return false;
        if (db.DatasArray()->Count(1) == 0)
            db.SQLExecute("INSERT INTO stock (AlmacenID, ArticuloID, Stock) VALUES (" + warehouse +
                          ", '" + article + "', " + sum + ");");
        else
            db.SQLExecute("UPDATE stock SET Stock = Stock + " + sum + " WHERE AlmacenID = " +
                          warehouse + " AND ArticuloID = '" + article + "';");
        if (!db.ConnectionStatus())
            return false;
    }
    return true;
}

bool ApplyStockExtra(clsDataBase& db, long& pairs) {
    db.CreatDatasArray(std::string("SELECT ArticuloID, Sum(Cantidad) AS CantidadSum ") +
                       "From stockextracambio GROUP BY ArticuloID " +
                       "HAVING CantidadSum <> 0 For Update;");
    if (!db.ConnectionStatus())
        return false;
    const auto totals = db.DatasArray();
    pairs += totals->Count(1);
    for (long r = totals->LowerBound(1); r <= totals->UpperBound(1); ++r) {
        const std::string article = SQLEscape(totals->Value(r, 0).ToString());
        const std::string sum = totals->Value(r, 1).ToString();
        db.CreatDatasArray("SELECT ArticuloID FROM stockextra WHERE ArticuloID = '" + article +
                           "' For Update;");
        if (!db.ConnectionStatus())
            return false;
        if (db.DatasArray()->Count(1) == 0)
            db.SQLExecute("INSERT INTO stockextra (ArticuloID, Stock) VALUES ( '" + article +
                          "', " + sum + ");");
        else
            db.SQLExecute("UPDATE stockextra SET Stock = Stock + " + sum + " WHERE ArticuloID = '" +
                          article + "';");
        if (!db.ConnectionStatus())
            return false;
    }
    return true;
}

} // namespace

void RenovarStock() {
    clsDataBase& db = DataBase();
    const bool contarStock = OpcionBool(db, "ContarStock", true);
    // The change rows read FOR UPDATE must keep newer rows out until the commit deletes them;
    // that takes the gap locks of repeatable read, whatever the server's default level is.
    db.SQLExecute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ;");
    Transaction transaction(db);
    if (!transaction.Started()) {
        ReportFailure("RenovarStock", "cannot start the transaction: " + db.LastError().Text());
        return;
    }
    bool ok = true;
    long pairs = 0;
    if (contarStock)
        ok = ApplyStock(db, pairs) && ApplyStockExtra(db, pairs);
    if (ok) {
        // With stock keeping switched off the movements are discarded on purpose.
        db.SQLExecute("Delete From stockcambio;");
        ok = db.ConnectionStatus();
        if (ok) {
            db.SQLExecute("Delete From stockextracambio;");
            ok = db.ConnectionStatus();
        }
    }
    if (!ok) {
        const std::string why = db.LastError().Text();
        transaction.Rollback();
        ReportFailure("RenovarStock", "rolled back, the movements stay for the next cycle: " + why);
        RecordOutcome(
            "StockRenewal",
            {{"Time", DateTime::Now().StampText()}, {"Pairs", "0"}, {"Result", "failed"}});
        NoteJob("stock renewal", "failed, rolled back: " + why);
        return;
    }
    const bool committed = transaction.Commit();
    if (!committed)
        ReportFailure("RenovarStock", "commit failed: " + db.LastError().Text());
    else if (pairs > 0 || !contarStock)
        WriteProgramLog("stock renewed: " + std::to_string(pairs) + " warehouse/article pairs" +
                        (contarStock ? "" : " (stock keeping is off: movements discarded)"));
    RecordOutcome("StockRenewal", {{"Time", DateTime::Now().StampText()},
                                   {"Pairs", std::to_string(pairs)},
                                   {"Result", committed ? "done" : "failed"}});
    NoteJob("stock renewal", std::string(committed ? "ran: " : "failed: ") + std::to_string(pairs) +
                                 " warehouse/article pairs");
}

} // namespace zenta
