#pragma once

#include <string>

namespace zenta {

// Process facts every layer may read. Set once by start-up; tests set them too.
struct Globals {
    // The program folder, ending in "/".
    static std::string AppPath;
    // The running executable's file name without folder or extension.
    static std::string ExecutableName;
    // Continue-on-error mode (settings "Debug"/"ReleaseVersion", default True).
    static bool ReleaseVersion;
    // This computer's IPv4 address as dotted text.
    static std::string LocalIP;
};

// The program's own version, from the build.
int ProgramMajor();
int ProgramMinor();
int ProgramRevision();
// "major.minor.revision", e.g. 3.12.1.
std::string ProgramVersionText();
// major × 100 + minor, e.g. 312.
int ProgramVersionNumber();

} // namespace zenta
