#pragma once

#include "Result.h"
#include "clsDataBase.h"

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
// TRANSACTION WITH CONSISTENT SNAPSHOT): its file, position and the GTID position.
struct BinaryLogPosition {
    std::string file;
    long long position = 0;
    std::string gtid;
    bool known() const { return !file.empty(); }
};
BinaryLogPosition SnapshotBinaryLogPosition(clsDataBase& db);

} // namespace zenta
