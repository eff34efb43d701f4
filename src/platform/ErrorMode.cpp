#include "ErrorMode.h"

#include "Globals.h"
#include "Variant.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/stat.h>

namespace zenta {

std::string ProgramLogPath() {
    return Globals::AppPath + "Log/" + Globals::ExecutableName + ".log";
}

namespace {
long long logSizeLimit = 8LL << 20;
bool logEcho = true;
} // namespace

void SetLogEcho(bool echo) {
    logEcho = echo;
}

long long LogSizeLimit() {
    return logSizeLimit;
}

void SetLogSizeLimit(long long bytes) {
    logSizeLimit = bytes;
}

void KeepLogWithinLimit(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < logSizeLimit)
        return;
    ::rename(file.c_str(), (file + ".1").c_str());
}

void WriteProgramLog(const std::string& text) {
    // Restores load tables on two threads; their failures are written one at a time.
    static std::mutex writing;
    std::lock_guard<std::mutex> guard(writing);
    // The folder is made by start-up; without it the line is dropped, as the suite's logs are.
    if (Globals::AppPath.empty())
        return;
    KeepLogWithinLimit(ProgramLogPath());
    std::ofstream out(ProgramLogPath(), std::ios::app | std::ios::binary);
    if (out)
        out << DateTime::Now().StampText() << ' ' << text << '\n';
    // Also for the journal of a service (which dates its lines itself).
    if (!logEcho)
        return;
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
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
