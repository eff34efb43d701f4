#pragma once

namespace zenta {

// Switches the computer off the normal way (programs are asked to close, not killed): the
// PowerOff call of systemd-logind on the system bus. False when logind refused or could not
// be reached.
bool PowerOffComputer();

} // namespace zenta
