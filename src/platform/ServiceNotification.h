#pragma once

#include <string>

namespace zenta {

// Tells the service manager (systemd, through $NOTIFY_SOCKET) a state such as "READY=1" or
// "STATUS=…"; nothing when the program was not started as a notify service.
void NotifyServiceManager(const std::string& state);

} // namespace zenta
