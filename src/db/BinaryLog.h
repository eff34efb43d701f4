#pragma once

#include "Gtid.h"
#include "Result.h"
#include "clsDataBase.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace zenta {

// The server's binary log as point-in-time restore needs it: on, in ROW format, a server id,
// synced at every commit, and kept long enough for a copy that was interrupted to catch up.
struct BinaryLogSettings {
    bool logBin = false;
    std::string format; // ROW, MIXED, STATEMENT
    long serverId = 0;
    long syncBinlog = 0;
    long long expireSeconds = 0; // 0: never purged by age
    // What is missing for point-in-time restore ("binlog_format is MIXED, not ROW"); empty
    // when nothing is.
    std::vector<std::string> Problems() const;
    // "on (ROW, server_id 1, sync_binlog 1, kept 7 days)" or "off".
    std::string Text() const;
};

// Read from the server; the program never changes them.
Result<BinaryLogSettings> ReadBinaryLogSettings(clsDataBase& db);

// Where the binary log stood in the snapshot the caller's transaction sees (inside START
// TRANSACTION WITH CONSISTENT SNAPSHOT): its file and position, and the GTID position of that
// very point (BINLOG_GTID_POS), from which a server seeded with the archive would go on.
struct BinaryLogPosition {
    std::string file;
    long long position = 0;
    std::string gtid;
    std::time_t taken = 0; // the server's clock in the snapshot
    bool known() const { return !file.empty(); }
};
BinaryLogPosition SnapshotBinaryLogPosition(clsDataBase& db);

// One of the server's log files as SHOW BINARY LOGS lists it.
struct ServerLogFile {
    std::string name;
    long long size = 0;
};
// The server's log files, oldest first; a failure when they cannot be read.
Result<std::vector<ServerLogFile>> ServerLogFiles(clsDataBase& db);
// The file being written and where the next event will begin (SHOW MASTER STATUS).
struct ServerLogPosition {
    std::string file;
    long long position = 0;
};
Result<ServerLogPosition> ServerCurrentPosition(clsDataBase& db);
// When the event at `position` of the server's `file` closes the file (the server stopped, or
// went on in a new file), where it ends; nothing when it does not, or no event begins there.
std::optional<long long> ClosingEventEnd(clsDataBase& db, const std::string& file,
                                         long long position);
// Whether an event of the server's `file` begins at `at` and ends at `end` (a copy of the file
// ends with that event).
bool ServerEventAt(clsDataBase& db, const std::string& file, long long at, long long end);
// The transactions the server's `file` begins after (its Gtid_list); nothing when they cannot
// be read.
std::optional<GtidState> ServerFileBegins(clsDataBase& db, const std::string& file);
// Closes the file being written; the server goes on in a new one.
bool FlushBinaryLogs(clsDataBase& db);
// Whether the last statement failed because the server could not be reached (it went away,
// restarted, or the connection was cut), not because of the statement.
bool ServerWentAway(const clsDataBase& db);

} // namespace zenta
