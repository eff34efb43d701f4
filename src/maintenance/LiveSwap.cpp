#include "LiveSwap.h"

#include "ArchiveNames.h"
#include "BackupAll.h"
#include "BackupFolders.h"
#include "BinlogServer.h"
#include "DatabaseTools.h"
#include "ErrorMode.h"
#include "clsDataBase.h"

namespace zenta {

Result<std::string> ReplaceLiveDatabase(clsDataBase& admin, const std::string& database,
                                        const std::vector<std::string>& tables,
                                        const std::function<void(const std::string&)>& say) {
    const std::string live = clsDataBase::kDefaultDatabase;
    const std::string saved = "zentasupermarket_before_restore_" + ArchiveStamp(DateTime::Now());
    const auto liveTables = TablesOf(admin, live);
    if (!admin.ConnectionStatus())
        return Result<std::string>::Failure("the live database's tables cannot be listed: " +
                                            admin.LastError().Text() + "; nothing restored");
    if (liveTables.empty()) {
        // A new computer's server: there is nothing to keep, and the database may not exist.
        if (say)
            say("the live database holds no table: nothing to back up first");
        admin.SQLExecute("CREATE DATABASE IF NOT EXISTS " + QuotedName(live) +
                         " CHARACTER SET utf8mb4;");
    } else {
        if (say)
            say("backing the live database up first");
        std::string backupFolder = BackupFolder(), label;
        BackupReport backup;
        BackupAll(backupFolder, label, &backup);
        if (!backup.complete)
            return Result<std::string>::Failure(
                "the live database could not be backed up first (" +
                (backup.failure.empty() ? std::string("no archive was made") : backup.failure) +
                "); nothing restored");
    }
    std::string moves;
    auto move = [&](const std::string& from, const std::string& to, const std::string& t) {
        moves += (moves.empty() ? "" : ", ") + QuotedName(from) + "." + QuotedName(t) + " TO " +
                 QuotedName(to) + "." + QuotedName(t);
    };
    for (const auto& t : liveTables)
        move(live, saved, t);
    for (const auto& t : tables)
        move(database, live, t);
    UnloggedSession unlogged(admin);
    admin.SQLExecute("CREATE DATABASE " + QuotedName(saved) + " CHARACTER SET utf8mb4;");
    if (!admin.ConnectionStatus())
        return Result<std::string>::Failure("cannot create the database " + saved + ": " +
                                            admin.LastError().Text());
    // The change is not in the server's log: the copied log is told where it happened.
    NoteLiveDatabaseReplaced(admin);
    admin.SQLExecute("RENAME TABLE " + moves + ";");
    if (!admin.ConnectionStatus()) {
        const std::string why = admin.LastError().Text();
        admin.SQLExecute("DROP DATABASE IF EXISTS " + QuotedName(saved) + ";");
        return Result<std::string>::Failure("the restored tables cannot be moved into " + live +
                                            ": " + why);
    }
    WriteProgramLog("the live database was replaced; its tables before are in " + saved);
    return saved;
}

} // namespace zenta
