#pragma once

#include "Result.h"

#include <string>

namespace zenta {

// The password the shop's archives are written and read with: the first line of the file
// named by [Monitor] ArchivePasswordFile in zentamarket.ini (a relative name is taken from the
// program folder), else [Monitor] ArchivePassword; "" when neither is set (archives in the
// clear, as the suite writes them). Surrounding blanks are not part of it.
// A failure that says why when a file is named that cannot be used: missing,
// unreadable, empty, or open to other users than its owner (its mode must be 0600 or 0400).
// A backup must then fail rather than be written in the clear.
Result<std::string> ConfiguredArchivePassword();
Result<std::string> ReadPasswordFile(const std::string& path);

// The file [Monitor] ArchivePasswordFile names, a relative name taken from the program folder;
// "" when none is named.
std::string ConfiguredPasswordFile();
// A password file as the reader finds it (never through a link, never waiting on a pipe), for
// the reader and for doctor alike.
struct PasswordFileState {
    enum class Kind { Good, Missing, Unreadable, NotAFile, OpenToOthers, Empty, TooLong } kind;
    std::string why;      // for people, "" when good
    unsigned mode = 0;    // its permission bits, when it could be looked at
    unsigned owner = 0;   // its owner's user id, when it could be looked at
    std::string password; // when good
};
PasswordFileState InspectPasswordFile(const std::string& path);

// A secret kept in a file of its own (the archive password, the off-site storage's keys): read
// never through a link, never waiting on a pipe, only from a plain file open to its owner alone
// (mode 0600 or 0400). Its text (at most 4 KiB), or why not; `what` names it in the words
// ("the password file", "the credentials file").
struct SecretFile {
    PasswordFileState::Kind kind = PasswordFileState::Kind::Good;
    std::string why;
    unsigned mode = 0, owner = 0;
    std::string text;
};
SecretFile ReadSecretFile(const std::string& path, const std::string& what);

} // namespace zenta
