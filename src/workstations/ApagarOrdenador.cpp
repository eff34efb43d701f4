#include "ApagarOrdenador.h"

#include "ErrorMode.h"
#include "Process.h"

namespace zenta {

bool PowerOffComputer() {
    // Interactive: logind may ask for authorisation, as the desktop's own shutdown does.
    const int status =
        RunProgramAndWait("dbus-send", {"--system", "--print-reply",
                                        "--dest=org.freedesktop.login1", "/org/freedesktop/login1",
                                        "org.freedesktop.login1.Manager.PowerOff", "boolean:true"});
    if (status != 0) {
        ReportFailure("PowerOffComputer", "systemd-logind did not accept PowerOff (status " +
                                              std::to_string(status) + ")");
        return false;
    }
    return true;
}

} // namespace zenta
