#include "ArchivePassword.h"

#include "Common.h"
#include "Globals.h"
#include "Settings.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta {

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& problem) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        problem = "the password file " + path + " cannot be read (" + std::strerror(errno) + ")";
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        problem = "the password file " + path + " is not a plain file";
        return std::nullopt;
    }
    if ((st.st_mode & 077) != 0) {
        ::close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        problem = "the password file " + path + " is open to other users (mode " + mode +
                  "): chmod 600 " + path;
        return std::nullopt;
    }
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 4096)
        text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    const std::string line = Trim(text.substr(0, text.find_first_of("\r\n")));
    if (line.empty()) {
        problem = "the password file " + path + " holds no password on its first line";
        return std::nullopt;
    }
    if (line.size() > 1000) {
        problem = "the password in " + path + " is longer than 1000 characters";
        return std::nullopt;
    }
    return line;
}

std::optional<std::string> ConfiguredArchivePassword(std::string& problem) {
    std::string file = Trim(GetSetting("Monitor", "ArchivePasswordFile", ""));
    if (!file.empty()) {
        if (file[0] != '/')
            file = Globals::AppPath + file;
        return ReadPasswordFile(file, problem);
    }
    const std::string password = Trim(GetSetting("Monitor", "ArchivePassword", ""));
    if (password.size() > 1000) {
        problem = "ArchivePassword is longer than 1000 characters";
        return std::nullopt;
    }
    return password;
}

} // namespace zenta
