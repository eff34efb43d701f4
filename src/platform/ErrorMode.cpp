#include "ErrorMode.h"

#include "Globals.h"
#include "Variant.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zenta {

std::string ProgramLogPath() {
    return Globals::AppPath + "Log/" + Globals::ExecutableName + ".log";
}

void WriteProgramLog(const std::string& text) {
    // The folder is made by start-up; without it the line is dropped, as the suite's logs are.
    if (Globals::AppPath.empty())
        return;
    std::ofstream out(ProgramLogPath(), std::ios::app | std::ios::binary);
    if (out)
        out << DateTime::Now().StampText() << ' ' << text << '\n';
}

void ReportFailure(const std::string& where, const std::string& what) {
    WriteProgramLog(where + ": " + what);
    if (!Globals::ReleaseVersion) {
        std::fprintf(stderr, "%s: run-time error in %s: %s\n", Globals::ExecutableName.c_str(),
                     where.c_str(), what.c_str());
        std::fflush(stderr);
        std::_Exit(3);
    }
}

} // namespace zenta
