#include "Check.h"
#include "StandbySteps.h"

#include "GlobalDatabase.h"

namespace zenta {

StandbyReport CheckHealthy() {
    clsDataBase db;
    const ServerView self = LookAtServer(db, Address(ConfiguredMySQLHost(), ConfiguredMySQLPort()),
                                         ConnectToOwnServer(db, 3));
    if (!self.reached)
        return Report(StandbyResult::CouldNotRun, "not healthy: this server " + self.why);
    if (!self.record)
        return Report(StandbyResult::Refused,
                      "not healthy: this server has no record of a pair (standby open or standby "
                      "seed makes one)");
    if (!self.RecordedPrimary())
        return Report(StandbyResult::Refused, "not healthy: this server's record names server_id " +
                                                  std::to_string(self.record->primaryServerId) +
                                                  " the primary");
    if (self.side.readOnly)
        return Report(StandbyResult::Refused,
                      "not healthy: this server is the recorded primary but read-only");
    return Report(StandbyResult::Done, "healthy: this server is the primary, open for sales");
}

} // namespace zenta
