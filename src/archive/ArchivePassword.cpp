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

SecretFile ReadSecretFile(const std::string& path, const std::string& what) {
    using Kind = PasswordFileState::Kind;
    SecretFile file;
    auto wrong = [&](Kind kind, const std::string& why) {
        file.kind = kind;
        file.why = why;
        return file;
    };
    // Never through a link, and never waiting on a pipe planted in its place.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd)
        return wrong(errno == ENOENT ? Kind::Missing : Kind::Unreadable,
                     what + " " + path + " cannot be read (" + std::strerror(errno) + ")");
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return wrong(Kind::NotAFile, what + " " + path + " is not a plain file");
    file.mode = static_cast<unsigned>(st.st_mode & 07777);
    file.owner = static_cast<unsigned>(st.st_uid);
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", file.mode);
        return wrong(Kind::OpenToOthers, what + " " + path + " is open to other users (mode " +
                                             mode + "): chmod 600 " + path);
    }
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0 && file.text.size() < 4096)
        file.text.append(buffer, static_cast<size_t>(n));
    return file;
}

PasswordFileState InspectPasswordFile(const std::string& path) {
    using Kind = PasswordFileState::Kind;
    const SecretFile file = ReadSecretFile(path, "the password file");
    PasswordFileState state{file.kind, file.why, file.mode, file.owner, ""};
    if (file.kind != Kind::Good)
        return state;
    auto wrong = [&](Kind kind, const std::string& why) {
        state.kind = kind;
        state.why = why;
        return state;
    };
    const std::string& text = file.text;
    const std::string line = TrimSpaces(text.substr(0, text.find_first_of("\r\n")));
    if (line.empty())
        return wrong(Kind::Empty,
                     "the password file " + path + " holds no password on its first line");
    if (line.size() > 1000)
        return wrong(Kind::TooLong, "the password in " + path + " is longer than 1000 characters");
    state.password = line;
    return state;
}

Result<std::string> ReadPasswordFile(const std::string& path) {
    const PasswordFileState state = InspectPasswordFile(path);
    if (state.kind != PasswordFileState::Kind::Good)
        return Result<std::string>::Failure(state.why);
    return state.password;
}

std::string ConfiguredPasswordFile() {
    const std::string file = TrimSpaces(GetSetting("Monitor", "ArchivePasswordFile", ""));
    return file.empty() || file[0] == '/' ? file : Globals::AppPath + file;
}

Result<std::string> ConfiguredArchivePassword() {
    if (const std::string file = ConfiguredPasswordFile(); !file.empty())
        return ReadPasswordFile(file);
    const std::string password = TrimSpaces(GetSetting("Monitor", "ArchivePassword", ""));
    if (password.size() > 1000) {
        return Result<std::string>::Failure("ArchivePassword is longer than 1000 characters");
    }
    return password;
}

} // namespace zenta
