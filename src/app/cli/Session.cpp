#include "Session.h"

#include "Common.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobLock.h"
#include "Terminal.h"
#include "Text.h"

#include <algorithm>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta::cli {

bool Connect() {
    ConnectDataBase();
    if (DataBase().ConnectionStatus())
        return true;
    std::string why = DataBase().LastError().Text();
    std::replace(why.begin(), why.end(), '\n', ' ');
    std::cerr << "The database at " << ConfiguredMySQLHost() << ":" << ConfiguredMySQLPort()
              << " cannot be reached (" << TrimSpaces(why)
              << "): is MariaDB running there, is MySQLPort in " << Globals::AppPath
              << "zentamarket.ini right, and are the suite's ODBC driver names registered "
                 "(odbcinst -q -d)?\n";
    return false;
}

std::string RecordFolder() {
    return IsFolder(Globals::AppPath + "Log") ? Globals::AppPath + "Log" : Globals::AppPath;
}

std::string OwnerFix(const std::string& path) {
    struct stat file {
    }, folder{};
    if (::stat(path.c_str(), &file) != 0 || ::stat(RecordFolder().c_str(), &folder) != 0)
        return "";
    return "it belongs to " + UserName(file.st_uid) + " (mode " +
           std::to_string((file.st_mode >> 6) & 7) + std::to_string((file.st_mode >> 3) & 7) +
           std::to_string(file.st_mode & 7) + ") and this command runs as " +
           UserName(::geteuid()) + "; fix: sudo chown " + UserName(folder.st_uid) + ":" +
           GroupName(folder.st_gid) + " '" + path + "' && sudo chmod 660 '" + path + "'";
}

Result<Done> CheckFolderOwner(const std::string& command) {
    struct stat folder {};
    if (::stat(RecordFolder().c_str(), &folder) != 0 || folder.st_uid == ::geteuid())
        return Done{};
    if (folder.st_mode & S_ISGID) {
        ::umask(0007);
        return Done{};
    }
    const std::string owner = UserName(folder.st_uid);
    return Result<Done>::Failure(
        "the program folder " + Globals::AppPath + " belongs to the user " + owner +
        " and this command runs as " + UserName(::geteuid()) +
        ": the files it would write could not be read or written by the monitor. Run it as " +
        owner + ": sudo -u " + owner + " " + Globals::AppPath + Globals::ExecutableName + " " +
        command);
}

bool WithJobLock(const Options& options, const std::function<void()>& job) {
    ProgressLine line;
    const auto ran = UnderJobLock(
        job, {options.command + " (command line)",
              std::chrono::seconds(options.waitSeconds),
              [&](const std::string& holder, long waited) {
                  const std::string who = holder.empty() ? "" : " (" + holder + ")";
                  if (waited == 0) {
                      std::cout << "A job of the monitor of this program folder is running" << who
                                << "; waiting for it to finish..." << std::endl;
                      return;
                  }
                  line.Show("waiting for the job lock: " + std::to_string(waited) + " s" + who);
              },
              {}});
    line.Clear();
    if (!ran)
        std::cerr << "Not done: " << ran.error() << "; nothing done.\n";
    return static_cast<bool>(ran);
}

} // namespace zenta::cli
