#include "BackupFolders.h"

#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Opcion.h"
#include "Text.h"

#include <filesystem>
#include <sys/stat.h>

namespace zenta {

namespace fs = std::filesystem;

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

std::vector<std::pair<std::string, bool>> EntriesWithoutLinks(const std::string& folder) {
    std::vector<std::pair<std::string, bool>> entries;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.emplace_back(it->path().filename().string(),
                             it->symlink_status(ec).type() == fs::file_type::regular);
    return entries;
}

bool EmptyBackupWorkFolder(const std::string& folder) {
    bool ok = true;
    for (const auto& [name, plain] : EntriesWithoutLinks(folder)) {
        std::error_code ec;
        // remove_all deletes a link itself, never what it points at.
        fs::remove_all(folder + name, ec);
        if (ec)
            ok = false;
    }
    return ok;
}

void CleanBackupWorkFolder() {
    const std::string work = BackupWorkFolder();
    std::error_code ec;
    if (fs::symlink_status(work, ec).type() == fs::file_type::directory &&
        !EmptyBackupWorkFolder(work))
        WriteProgramLog("the backup's working folder " + work + " cannot be emptied");
}

Result<Done> PrepareBackupWorkFolder(const std::string& work) {
    std::string folder = work;
    if (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    std::error_code ec;
    const auto type = fs::symlink_status(folder, ec).type();
    if (type != fs::file_type::directory && type != fs::file_type::not_found) {
        // A link or a file planted where the folder belongs is never written through.
        fs::remove(folder, ec);
        if (ec)
            return Result<Done>::Failure("the working folder " + work +
                                         " is not a folder and cannot be removed");
    }
    if (!DirExists(work) && !CreateFolderPath(work))
        return Result<Done>::Failure("the working folder cannot be created: " + work);
    // The program and the database server (through the folder's group) only; the set-group
    // bit of an installation that shares the folder with the server's group is kept.
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Result<Done>::Failure("the working folder " + work + " is not a folder");
    if (::chmod(folder.c_str(), (st.st_mode & S_ISGID) | 0770) != 0)
        return Result<Done>::Failure("the working folder's permissions cannot be set: " + work);
    if (!EmptyBackupWorkFolder(work))
        return Result<Done>::Failure("the working folder cannot be emptied: " + work);
    return Done{};
}

} // namespace zenta
