#pragma once

#include "Gtid.h"
#include "Result.h"
#include "clsDataBase.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zenta {

// MariaDB's own replication as a pair of shop servers uses it: what a server says of itself
// and of its replication, and the few statements the program runs (read_only, CHANGE MASTER,
// START/STOP SLAVE, MASTER_GTID_WAIT). Nothing here writes into the suite's databases.

// The settings a server of a pair needs, as the server reports them.
struct PairServerSettings {
    long serverId = 0;
    bool logBin = false;
    std::string binlogFormat;
    bool logSlaveUpdates = false;
    bool gtidStrictMode = false;
    long syncBinlog = 0;
    long flushAtCommit = 0; // innodb_flush_log_at_trx_commit
    bool semiSyncMaster = false;
    bool semiSyncSlave = false;
    std::string waitPoint; // rpl_semi_sync_master_wait_point
    long semiSyncTimeoutMs = 0;
    bool waitNoSlave = true;
    std::string relayLog;
    std::string bindAddress; // "" or "*": every address
    bool skipNetworking = false;
    // Each setting that is not as the pair needs it, with the line of the settings block that
    // puts it right ("gtid_strict_mode is OFF: gtid_strict_mode = ON").
    std::vector<std::string> Problems() const;
    // Where the server listens, against how it must be reached: by the other computer at
    // `partnerHost` (the address this computer's settings give the other; a loopback address:
    // both servers on this computer) and by the tills at `floating` ("" none set). Each problem
    // with its fix.
    std::vector<std::string> ListenProblems(const std::string& partnerHost,
                                            const std::string& floating) const;
};
Result<PairServerSettings> ReadPairServerSettings(clsDataBase& db);

// What a server says of itself and of its replication.
struct ReplicaState {
    bool configured = false; // SHOW SLAVE STATUS has a row: it replicates from a master
    std::string masterHost;
    long masterPort = 0;
    bool ioRunning = false;    // Slave_IO_Running = Yes
    bool ioConnecting = false; // Slave_IO_Running = Connecting
    bool sqlRunning = false;
    long ioErrno = 0;
    std::string ioError;
    long sqlErrno = 0;
    std::string sqlError;
    std::string received; // Gtid_IO_Pos: what the I/O thread holds
};
struct ServerSide {
    long serverId = 0;
    bool readOnly = true;
    std::string binlogPos;         // @@gtid_binlog_pos: what its own binary log holds
    std::string slavePos;          // @@gtid_slave_pos: what it applied as a replica
    std::string currentPos;        // @@gtid_current_pos
    bool semiSyncMasterOn = false; // Rpl_semi_sync_master_status
    long semiSyncClients = 0;      // replicas that acknowledge
    bool semiSyncSlaveOn = false;  // Rpl_semi_sync_slave_status
    ReplicaState replica;
};
Result<ServerSide> ReadServerSide(clsDataBase& db);
// The last error of the replication on a server, in one line ("" none).
std::string ReplicationError(const ReplicaState& replica);

// SET GLOBAL read_only; whether the server took it (why not in the database's last error).
bool SetReadOnly(clsDataBase& db, bool on);
// Where a replica starts in its primary's history: after what it applied (a standby,
// gtid_slave_pos), or where its own log ends (an old primary following the new one,
// gtid_current_pos).
enum class ReplicaStart { Applied, OwnLog };
// CHANGE MASTER TO the given server with the back-office account.
Result<Done> PointReplicaAt(clsDataBase& db, const std::string& host, long port,
                            ReplicaStart from = ReplicaStart::Applied);
bool StartReplica(clsDataBase& db);
bool StopReplicaReceiving(clsDataBase& db); // STOP SLAVE IO_THREAD
// STOP SLAVE; RESET SLAVE ALL: the server replicates from nothing any more.
Result<Done> ForgetMaster(clsDataBase& db);
// Ends every session on the server but this connection's and replication's own (a standby
// receiving, the server's threads): their programs connect again and find the primary. How many
// were ended.
Result<int> EndOtherSessions(clsDataBase& db);
// What a server holds, domain by domain: the later of its own binary log and of what it applied
// as a replica. Both count: a server's own last transactions are in its log only (never in
// gtid_slave_pos), a seeded standby's starting point in gtid_slave_pos only. A position judged
// this way is reached with no new write (a shop at closing time writes nothing for hours).
GtidPosition HeldPosition(const ServerSide& side);
// The same, as GTID text for people ("0-1-1848"; "(nothing)" when empty).
std::string HeldText(const ServerSide& side);

// How a wait for a server to hold a position ended.
struct HoldWait {
    bool reached = false;
    std::string held;         // what the server held when the wait ended
    std::string stopped;      // its replication's error, when applying stopped on one ("" none)
    std::uint64_t behind = 0; // transactions of the position it lacked then
    // For the person: "it holds X", and the replication's error when it stopped on one.
    std::string Said() const;
};
// Waits until the server holds `position` (as HeldPosition judges it), at most `seconds`; ends
// early when its replication stopped applying on an error. A failure only when the server
// cannot be read or the position is no GTID position.
Result<HoldWait> WaitUntilHolds(clsDataBase& db, const std::string& position, double seconds);

// Privileges of an account on *.* that matter on a pair, read from SHOW GRANTS.
struct AccountPrivileges {
    bool exists = false;
    bool all = false;           // ALL PRIVILEGES ON *.*
    bool readOnlyAdmin = false; // READ ONLY ADMIN (also in ALL)
    bool super = false;
    bool replication = false; // REPLICATION SLAVE, REPLICATION SLAVE ADMIN (or ALL)
};
// The privileges of user@host; exists is false when there is no such account.
Result<AccountPrivileges> ReadAccountPrivileges(clsDataBase& db, const std::string& user,
                                                const std::string& host);
// Read from one line of SHOW GRANTS (for the tests of the rule).
void AddGrantLine(const std::string& line, AccountPrivileges& privileges);

} // namespace zenta
