#pragma once

#include "PairRecord.h"
#include "Replication.h"
#include "Result.h"
#include "clsDataBase.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zenta {

// A pair of shop servers: the primary the tills sell on, and a standby on the second computer
// kept in step by MariaDB's own replication (semi-synchronous: a sale is acknowledged only once
// the standby holds it). Each computer's settings name the other server ([Standby] Host, Port).

// Connects `db` with the back-office account to a server, bounding the handshake to a few
// seconds and each answer to `readSeconds` (a frozen server must not hold a look for long).
bool ConnectToServer(clsDataBase& db, const std::string& host, long port, long readSeconds = 15);
// This computer's server, as the settings name it.
bool ConnectToOwnServer(clsDataBase& db, long readSeconds = 15);

// The role of a computer's server in the pair.
enum class PairRole {
    Primary,    // recorded primary, open for sales
    Fenced,     // recorded primary, still read-only (waiting to see the other agree, or a
                // person's `standby open`)
    OldPrimary, // its record names it, but the other server's record says it was promoted
                // since: sales go to the other computer
    Standby,    // its record names the other server
    NotPaired,  // no record yet (`standby seed` makes the pair)
    Unknown,    // this computer's server cannot be read
};
// The role in the words of the record, the log and the command line ("primary", "fenced", "old
// primary", "standby", "not paired", "unknown").
std::string RoleText(PairRole role);
// The role those words name; nothing for other words (a record that names none).
std::optional<PairRole> ParseRole(const std::string& text);

// What one server of the pair says: reached or why not, its replication, its record.
struct ServerView {
    std::string address; // host:port as this computer reaches it
    bool reached = false;
    std::string why; // why it was not reached or not read
    ServerSide side;
    std::optional<PairRecord> record;
    // Its record names it the primary.
    bool RecordedPrimary() const { return record && record->primaryServerId == side.serverId; }
    // It takes sales: recorded primary and not read-only.
    bool OpenPrimary() const { return reached && RecordedPrimary() && !side.readOnly; }
};
ServerView LookAtServer(clsDataBase& db, const std::string& address, bool connected);

// Both servers, and what follows from them.
struct PairView {
    ServerView self, partner;
    // The role of this computer's server.
    PairRole Role() const;
    // The other server's record names it the primary by a promotion later than this one's.
    bool PartnerPromotedSince() const;
    // Why a fenced server stays read-only ("" when it is not fenced).
    std::string FencedWhy() const;
    // The primary and the standby as they stand (nothing when neither is known).
    const ServerView* Primary() const;
    const ServerView* Standby() const;
    // The standby lacks that many of the primary's transactions (nothing when not known).
    std::optional<std::uint64_t> TransactionsBehind() const;
    // Sales are acknowledged only once the standby holds them: the primary's semi-synchronous
    // replication is on with a standby acknowledging.
    bool SemiSyncOn() const;
    // What is wrong with the standby ("" when nothing): away, not replicating, an error.
    std::string StandbyProblem() const;
};

// Sales are protected, each acknowledged only once the standby holds it: semi-synchronous
// replication on with a standby acknowledging, and nothing wrong with the standby.
inline bool SalesProtected(bool semiSyncOn, const std::string& standbyProblem) {
    return semiSyncOn && standbyProblem.empty();
}

// What the program may do to open this server: it is the recorded primary, read-only, and the
// other server is reached, read-only and names this one the primary.
bool MayOpen(const PairView& view);

// On a pair the tills' account must not hold READ ONLY ADMIN (nor SUPER): read_only stops only
// accounts without it. What it is granted instead, on *.*: everything a till or the back
// office's programs use, no administration of the server.
constexpr const char* kSuiteAccountPrivileges =
    "SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, RELOAD, PROCESS, FILE, REFERENCES, INDEX, "
    "ALTER, SHOW DATABASES, CREATE TEMPORARY TABLES, LOCK TABLES, EXECUTE, CREATE VIEW, SHOW "
    "VIEW, CREATE ROUTINE, ALTER ROUTINE, EVENT, TRIGGER";
// The program's own account opens the primary, replicates and promotes: it keeps these.
constexpr const char* kBackOfficePairPrivileges =
    "READ ONLY ADMIN, REPLICATION SLAVE, REPLICATION SLAVE ADMIN, REPLICATION MASTER ADMIN, "
    "BINLOG MONITOR, SLAVE MONITOR";
// What is wrong with the two accounts on the server for a pair, each with the lines that put it
// right; nothing when both are as they must be.
struct AccountProblem {
    std::string text, fix;
};
std::vector<AccountProblem> PairAccountProblems(clsDataBase& db);

} // namespace zenta
