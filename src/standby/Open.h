#pragma once

// A person opens this computer's server for sales (standby open, the tray's menu).
#include <string>

namespace zenta {

// Refused when this server is the standby, when the other server was promoted or is open, or
// when the other server cannot be reached and `partnerAwayConfirmed` is false. Takes the pair's
// command lock on both servers like every other pair command (an open and a seed or a promotion
// never interleave). What was done, or why not.
struct OpenAnswer {
    bool opened = false;
    bool unsafe = false; // refused because it would be unsafe (else: could not run)
    bool needsConfirmation = false;
    std::string text;
};
OpenAnswer OpenThisServer(bool partnerAwayConfirmed);
// The risk a person accepts by opening a server whose partner cannot be reached.
std::string OpenRiskText();

} // namespace zenta
