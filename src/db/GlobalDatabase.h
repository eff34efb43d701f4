#pragma once

#include "clsDataBase.h"

namespace zenta {

// The program's one database object, created on first use.
clsDataBase& DataBase();
bool HasDataBase();
// Releases it (closing its connection).
void ReleaseDataBase();

// The MySQL server named in zentamarket.ini is this computer; set by ConnectDataBase after a
// successful connection, left as it was after a failed one.
extern bool ServerIsLocal;

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
