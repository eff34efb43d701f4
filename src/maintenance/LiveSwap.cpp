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
    std::string moves;
    auto move = [&](const std::string& from, const std::string& to, const std::string& t) {
        moves += (moves.empty() ? "" : ", ") + QuotedName(from) + "." + QuotedName(t) + " TO " +
                 QuotedName(to) + "." + QuotedName(t);
    };
    for (const auto& t : TablesOf(admin, live))
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
