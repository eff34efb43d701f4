#pragma once

#include "clsDataBase.h"

#include <atomic>

namespace zenta {

// The program's one database object, created on first use.
clsDataBase& DataBase();
bool HasDataBase();
// Releases it (closing its connection).
void ReleaseDataBase();

// The MySQL server named in zentamarket.ini is this computer; set by ConnectDataBase after a
// successful connection, left as it was after a failed one.
extern bool ServerIsLocal;

// On a pair: whether this computer's server is not the open primary (read-only, or its record
// names the other server). The database computer's jobs (the cycle, backups, the copy of the
// binary log, the IP report) then run on the other computer. Set when the database connects
// and by the pair's look.
extern std::atomic<bool> ServerIsStandby;
// Whether the database computer's jobs run here: the server is this computer's and, on a pair,
// the open primary.
bool DatabaseJobsHere();
// Decides ServerIsStandby from the server's read_only and record (not on a pair: false).
void DecideServerIsStandby(clsDataBase& db);

// The back-office account every job uses.
constexpr const char* kBackOfficeUser = "zentamarketback";
constexpr const char* kBackOfficePassword = "lotusbay200311170844";

// Reads host and port from zentamarket.ini, replaces DataBase with a new object, connects it
// with the back-office account and, on success, decides ServerIsLocal.
void ConnectDataBase();
// Reconnect-then-work: one ConnectDataBase when the connection is down; whether it is up now.
// Reconnecting replaces the object DataBase() returns: a reference taken before is gone.
bool EnsureConnected();
// The port from zentamarket.ini: the number at the start of "MySQL"/"MySQLPort", 3306 for 0.
long ConfiguredMySQLPort();
// The database computer from zentamarket.ini ("MySQL"/"MySQLHost"), "localhost" when unset.
// For MariaDB's own programs "localhost" means the socket, whose server need not be the one on
// the configured port: they get ClientHost (BinlogServer.h) instead.
std::string ConfiguredMySQLHost();

} // namespace zenta
