#include "ProgramSetUp.h"

#include "ComputerIdentity.h"
#include "Globals.h"
#include "Settings.h"
#include "StopRequest.h"

#include <csignal>
#include <filesystem>

namespace zenta {

namespace {

void (*alsoOnSignal)() = nullptr;

void OnStopSignal(int) {
    if (!StopRequested())
        ArmStopDeadline();
    RequestStop();
    if (alsoOnSignal)
        alsoOnSignal();
}

} // namespace

void SetUpProgramGlobals(bool oneShot) {
    Globals::AppPath = GetAppPath();
    Globals::ExecutableName = GetExecutableName();
    std::error_code ec;
    std::filesystem::create_directories(Globals::AppPath + "Log", ec);
    Globals::ReleaseVersion = oneShot || GetSettingBool("Debug", "ReleaseVersion", "1", true);
    Globals::LocalIP = GetLocalIP();
}

void HandleStopSignals(void (*also)()) {
    alsoOnSignal = also;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr); // the session or the terminal went away
}

} // namespace zenta
