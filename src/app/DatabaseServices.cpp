#include "DatabaseServices.h"

namespace zenta {

void DatabaseServices::Start() {
    binlog_.Tick();
    standby_.Start();
}

void DatabaseServices::Stop() {
    standby_.Stop();
    binlog_.Stop();
}

DatabaseServices::After DatabaseServices::Look() {
    After after;
    binlog_.Tick();
    after.healthChanged = binlog_.StateChanged() || ++looks_ % 30 == 0;
    after.healthChanged = standby_.Publish() || after.healthChanged;
    after.runCycle = standby_.TakeBecamePrimary();
    // The jobs came here: the copy starts on this server first, so that the cycle's backup is
    // made for the chain it copies into.
    if (after.runCycle)
        binlog_.Tick();
    return after;
}

void DatabaseServices::Finish() {
    binlog_.FinishCopied();
}

} // namespace zenta
