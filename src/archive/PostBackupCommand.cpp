#include "PostBackupCommand.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "Process.h"
#include "Settings.h"
#include "Text.h"
#include "Variant.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace zenta {

bool RunPostBackupCommand(const std::string& archive, const std::string& line,
                          const std::string& job) {
    const std::string command =
        line.empty() ? GetSetting("Monitor", "PostBackupCommand", "") : line;
    if (TrimSpaces(command).empty())
        return true; // nothing asked for
    const long limit = GetSettingNumber("Monitor", "PostBackupTimeout", 3600, 1);
    // The technician's line runs in a shell with the archive as its last argument.
    char output[] = "/tmp/zenta-postbackup-XXXXXX";
    int fd = ::mkstemp(output);
    if (fd >= 0)
        ::close(fd);
    const auto started = std::chrono::steady_clock::now();
    const int status =
        RunProgramAndWait("/bin/sh", {"-c", command + " \"$1\"", "sh", archive}, Globals::AppPath,
                          fd >= 0 ? output : "", std::chrono::seconds(limit));
    std::string tail;
    if (fd >= 0) {
        tail = ReadWholeFile(output).value_or("");
        std::remove(output);
    }
    if (tail.size() > 1000)
        tail = "..." + tail.substr(tail.size() - 1000);
    tail = ReplaceAll(ReplaceAll(TrimSpaces(ReplaceAll(tail, "\r", "")), "\n", " | "), "\t", " ");
    const std::string result =
        status == 0                   ? "done"
        : status == kTimedOut         ? "failed: ended after " + std::to_string(limit) + " s"
        : status == kStoppedByRequest ? "failed: stopped"
        : status == -1
            ? "failed: " + (ProgramStartError().empty() ? std::string("ended by a signal")
                                                        : ProgramStartError())
            : "failed: exit status " + std::to_string(status);
    char seconds[32];
    std::snprintf(
        seconds, sizeof seconds, "%.1f",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    // Its failure is its own: the backup stays good and nothing is deleted.
    WriteProgramLog("post-backup command " + result + " (" + seconds + " s) for " + archive +
                    (tail.empty() ? "" : ": " + tail));
    RecordOutcome(job, {{"Time", DateTime::Now().StampText()},
                        {"Result", status == 0 ? "done" : "failed"},
                        {"Detail", result},
                        {"Archive", archive},
                        {"Output", tail}});
    return status == 0;
}

} // namespace zenta
