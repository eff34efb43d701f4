#pragma once

#include "Result.h"
#include "clsDataBase.h"

#include <atomic>
#include <optional>
#include <string>

namespace zenta {

// Each server of a pair keeps its own record of which server is the primary, in the
// program's own database beside the suite's, written with binary logging off: it is never
// replicated, so each server's record says what that server was last told. Servers are known
// by their server_id.
constexpr const char* kPairRecordDatabase = "zentamarketmonitor";

struct PairRecord {
    long primaryServerId = 0;
    std::string promotionGtid; // where the last promotion made the primary (empty: none)
    std::string promotedAt;    // "yyyy-mm-dd hh:nn:ss", the server's clock
    std::string changedAt;
};

// The server's record; nothing when it has none (a server not yet in a pair), a failure when
// it cannot be read.
Result<std::optional<PairRecord>> ReadPairRecord(clsDataBase& db);
// Writes the server's record (binary logging off for the statement).
Result<Done> WritePairRecord(clsDataBase& db, const PairRecord& record);
// The server is in no pair any more (while it is seeded anew): its record goes.
Result<Done> ForgetPairRecord(clsDataBase& db);

// A person's command on the pair (seed, promote, switchover...) holds a named lock on each
// server it changes; meanwhile the monitors leave those servers' read_only and replication
// alone (a monitor that started a replication the command had just stopped would undo its
// step). The lock goes with the command's connection, also when the command dies.
void HoldPairCommandLock(clsDataBase& db);
bool PairCommandRunning(clsDataBase& db);

// The [Standby] settings: the other server of the pair, as this computer reaches it. The pair
// is on when Host is set.
struct PartnerAddress {
    std::string host;
    long port = 3306;
};
std::optional<PartnerAddress> ConfiguredPartner();

} // namespace zenta
