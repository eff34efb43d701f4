#include "ArchivePassword.h"

#include "Common.h"
#include "FileDescriptor.h"
#include "Globals.h"
#include "Settings.h"
#include "Text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta {

Result<std::string> ReadPasswordFile(const std::string& path) {
    // Never through a link, and never waiting on a pipe planted in its place.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        return Result<std::string>::Failure("the password file " + path + " cannot be read (" +
                                            std::strerror(errno) + ")");
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Result<std::string>::Failure("the password file " + path + " is not a plain file");
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o",
                      static_cast<unsigned>(st.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO)));
        return Result<std::string>::Failure("the password file " + path +
                                            " is open to other users (mode " + mode +
                                            "): chmod 600 " + path);
    }
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0 && text.size() < 4096)
        text.append(buffer, static_cast<size_t>(n));
    const std::string line = TrimSpaces(text.substr(0, text.find_first_of("\r\n")));
    if (line.empty()) {
        return Result<std::string>::Failure("the password file " + path +
                                            " holds no password on its first line");
    }
    if (line.size() > 1000) {
        return Result<std::string>::Failure("the password in " + path +
                                            " is longer than 1000 characters");
    }
    return line;
}

Result<std::string> ConfiguredArchivePassword() {
    std::string file = TrimSpaces(GetSetting("Monitor", "ArchivePasswordFile", ""));
    if (!file.empty()) {
        if (file[0] != '/')
            file = Globals::AppPath + file;
        return ReadPasswordFile(file);
    }
    const std::string password = TrimSpaces(GetSetting("Monitor", "ArchivePassword", ""));
    if (password.size() > 1000) {
        return Result<std::string>::Failure("ArchivePassword is longer than 1000 characters");
    }
    return password;
}

} // namespace zenta
