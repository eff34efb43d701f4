#include "Transaction.h"

namespace zenta {

Transaction::Transaction(clsDataBase& db, Kind kind) : db_(db), kind_(kind) {
    if (kind_ == Kind::Writing)
        db_.StartTrans();
    else
        db_.SQLExecute("START TRANSACTION WITH CONSISTENT SNAPSHOT;");
    open_ = db_.ConnectionStatus();
}

Transaction::~Transaction() {
    if (open_)
        Rollback();
}

bool Transaction::Commit() {
    if (!open_)
        return false;
    open_ = false;
    if (kind_ == Kind::Writing)
        db_.CommitTrans();
    else
        db_.SQLExecute("COMMIT;");
    return db_.ConnectionStatus();
}

void Transaction::Rollback() {
    if (!open_)
        return;
    open_ = false;
    if (kind_ == Kind::Writing)
        db_.RollbackTrans();
    else
        db_.SQLExecute("ROLLBACK;");
}

DefaultDatabase::DefaultDatabase(clsDataBase& db, const std::string& database, std::string restore)
    : db_(db), restore_(std::move(restore)) {
    db_.SQLExecute("USE " + database + ";");
}

DefaultDatabase::~DefaultDatabase() {
    db_.SQLExecute("USE " + restore_ + ";");
}

} // namespace zenta
