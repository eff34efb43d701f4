#pragma once

#include "BinaryLog.h"
#include "BinlogChain.h"
#include "BinlogEvents.h"
#include "Result.h"
#include "clsDataBase.h"

#include <string>

namespace zenta {

// The database server as MariaDB's own programs reach it for the binary log: the copy's
// stream, the replay's reader and client, and the look at how a server's file opens.

// The host MariaDB's programs are given: the configured one, with "localhost" written as
// 127.0.0.1 (for MariaDB's clients "localhost" means the socket, whose server may not be the
// one on the configured port).
std::string ClientHost();

// The back-office account's settings for MariaDB's own programs, in Temp/<name> (mode 0600):
// the password reaches them there, never on a command line. The file's path.
Result<std::string> WriteClientSettings(const std::string& name);
// The same for another server (the other of a pair).
Result<std::string> WriteClientSettings(const std::string& name, const std::string& host,
                                        long port);

// The program that reads binary logs: [Monitor] BinlogProgram, by default mariadb-binlog.
std::string BinlogProgram();

// How the server's own `file` opens (its opening event), read from the server: a copy holds
// the server's file exactly when their openings agree.
Result<BinlogOpening> ServerFileOpening(const std::string& file);

// What the records keep of a backup's snapshot: its position, GTID and moment, the opening of
// its file as the server has it, and the chain of the copy in `copyFolder` that holds that
// file (when the copy has it yet; else the opening finds the chain later).
SnapshotRecord DescribeSnapshot(const BinaryLogPosition& position, const std::string& copyFolder);

// Before the live database's tables are replaced by a restore (which the server's log does not
// hold): closes the server's current file and records that the copied log cannot be replayed
// past it (BREAKS.txt of the chain holding that file), as a gap, so that the next cycle makes a
// full backup and a window starts again. Nothing when there is no copy.
void NoteLiveDatabaseReplaced(clsDataBase& admin);

} // namespace zenta
