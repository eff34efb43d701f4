#include "BackupFolders.h"

#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Opcion.h"
#include "Text.h"

namespace zenta {

std::optional<std::string> ResolveBackupFolder(clsDataBase& db) {
    auto dir = ReadOpcion(db, "BackupRestoreDir", "VarCharValor");
    if (!db.ConnectionStatus())
        return std::nullopt;
    const std::string fallback = Globals::AppPath + "Backup/";
    if (!dir)
        return fallback;
    const std::string configured = dir->ToString();
    if (TrimSpaces(configured).empty())
        return fallback;
    std::string problem;
    if (configured.find('"') != std::string::npos)
        problem = "contains a double quote, which the archiver cannot take";
    else if (!DirExists(configured))
        problem = configured.find('\\') != std::string::npos || configured.find(':') == 1
                      ? "is a Windows folder, not one of this computer"
                      : "does not exist";
    else if (!IsFolder(configured))
        problem = "is a file, not a folder";
    if (!problem.empty()) {
        WriteProgramLog("BackupRestoreDir \"" + configured + "\" " + problem +
                        "; the archives go to " + fallback);
        return fallback;
    }
    return WithSlash(configured);
}

std::string BackupFolder() {
    return ResolveBackupFolder(DataBase()).value_or(Globals::AppPath + "Backup/");
}

std::string BackupWorkFolder() {
    return Globals::AppPath + "Temp/Backup/";
}

} // namespace zenta
