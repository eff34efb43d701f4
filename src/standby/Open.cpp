#include "Open.h"
#include "StandbySteps.h"

#include "ErrorMode.h"

#include <optional>

namespace zenta {

std::string OpenRiskText() {
    return "The other server cannot be reached. If it was promoted while this one was away, "
           "opening this one makes two primaries: sales on both, which cannot be joined again. "
           "Open only when you know that the other computer was not promoted (it is switched "
           "off, or nobody ran standby promote there).";
}

namespace {

OpenAnswer Answer(bool opened, bool unsafe, const std::string& text) {
    OpenAnswer a;
    a.opened = opened;
    a.unsafe = unsafe;
    a.text = text;
    return a;
}

// Why this server must not be opened, or that it needs a person's yes; nothing when it may.
std::optional<OpenAnswer> Refusal(const PairView& view, bool partnerAwayConfirmed) {
    const ServerView& self = view.self;
    const ServerView& other = view.partner;
    switch (view.Role()) {
    case PairRole::Primary:
        return Answer(true, false, "This server is already open for sales.");
    case PairRole::Standby:
        return Answer(false, true,
                      "This server is the standby (its record names server_id " +
                          std::to_string(self.record->primaryServerId) +
                          " the primary); a standby becomes the primary with standby promote.");
    case PairRole::OldPrimary:
        return Answer(false, true,
                      "The other server (" + other.address + ") was promoted at " +
                          other.record->promotedAt +
                          ": sales go to the other computer; this one stays read-only.");
    default:
        break;
    }
    if (other.reached && !other.side.readOnly)
        return Answer(false, true,
                      "The other server (" + other.address +
                          ") is open for sales: two open servers would take sales apart.");
    if (!other.reached && !partnerAwayConfirmed) {
        OpenAnswer ask =
            Answer(false, true,
                   "The other server (" + other.address + ") " + other.why + ". " + OpenRiskText());
        ask.needsConfirmation = true;
        return ask;
    }
    if (other.reached && other.record && other.record->primaryServerId != self.side.serverId)
        return Answer(false, true,
                      "The other server's record names server_id " +
                          std::to_string(other.record->primaryServerId) +
                          " the primary, not this one; this one stays read-only.");
    return std::nullopt;
}

} // namespace

OpenAnswer OpenThisServer(bool partnerAwayConfirmed) {
    PairConnections pair;
    if (!pair.Look())
        return Answer(false, false, "This computer is not in a pair ([Standby] Host is not set).");
    const ServerView& self = pair.view.self;
    if (!self.reached)
        return Answer(false, false, "This computer's server (" + self.address + ") " + self.why);
    if (auto refused = Refusal(pair.view, partnerAwayConfirmed))
        return *refused;
    PairRecord record = self.record.value_or(PairRecord{});
    record.primaryServerId = self.side.serverId;
    if (const auto written = WritePairRecord(pair.self, record); !written)
        return Answer(false, false, written.error());
    if (!SetReadOnly(pair.self, false))
        return Answer(false, false,
                      "The server could not be opened: " + pair.self.LastError().Text());
    const std::string text = "This server (" + self.address + ", server_id " +
                             std::to_string(self.side.serverId) + ") is open for sales" +
                             (pair.view.partner.reached ? "."
                                                        : ", opened by a person while the other "
                                                          "server cannot be reached.");
    WriteProgramLog("standby: " + text);
    return Answer(true, false, text);
}

} // namespace zenta
