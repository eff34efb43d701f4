#include "Globals.h"

#include "Version.h"

namespace zenta {

std::string Globals::AppPath;
std::string Globals::ExecutableName = "ZentaMarketMonitor";
bool Globals::ReleaseVersion = true;
std::string Globals::LocalIP;

int ProgramMajor() {
    return ZENTA_VERSION_MAJOR;
}
int ProgramMinor() {
    return ZENTA_VERSION_MINOR;
}
int ProgramRevision() {
    return ZENTA_VERSION_PATCH;
}

std::string ProgramVersionText() {
    return std::to_string(ProgramMajor()) + "." + std::to_string(ProgramMinor()) + "." +
           std::to_string(ProgramRevision());
}

int ProgramVersionNumber() {
    return ProgramMajor() * 100 + ProgramMinor();
}

} // namespace zenta
