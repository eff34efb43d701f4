#pragma once

#include "clsDataBase.h"

#include <string>
#include <vector>

namespace zenta {

// Small things about databases on the server that restores, verifications and the live swap
// share.

// `name` as an identifier in a statement: in backquotes, a backquote doubled.
std::string QuotedName(const std::string& identifier);
bool DatabaseExists(clsDataBase& db, const std::string& name);
// The tables of a database, by name.
std::vector<std::string> TablesOf(clsDataBase& db, const std::string& database);

// Binary logging off for a session while the guard lives: a restore's own statements never go
// into the server's log.
class UnloggedSession {
  public:
    explicit UnloggedSession(clsDataBase& db);
    // As it was: a session inside another stays unlogged.
    ~UnloggedSession();
    UnloggedSession(const UnloggedSession&) = delete;
    UnloggedSession& operator=(const UnloggedSession&) = delete;

  private:
    clsDataBase& db_;
    bool was_ = true;
};

} // namespace zenta
