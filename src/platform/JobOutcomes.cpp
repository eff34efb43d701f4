#include "JobOutcomes.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "IniFile.h"
#include "Metrics.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace zenta {

namespace {

long long Number(const std::string& text, long long otherwise) {
    return text.empty() ? otherwise : std::atoll(text.c_str());
}

std::mutex problemLock;
std::string problem;

// A failure said once in the log, not at every job, and kept for RecordProblem.
void Problem(const std::string& why) {
    std::lock_guard<std::mutex> guard(problemLock);
    if (why == problem)
        return;
    problem = why;
    if (!why.empty())
        WriteProgramLog(why);
}

std::string CurrentUserName() {
    if (const passwd* pw = ::getpwuid(::geteuid()))
        return pw->pw_name;
    return std::to_string(::geteuid());
}

} // namespace

std::string JobOutcomesPath() {
    return Globals::AppPath + "Log/JobOutcomes.ini";
}

void RecordOutcome(const std::string& job, const OutcomeValues& values) {
    if (Globals::AppPath.empty())
        return;
    if (!IniFile::WriteMany(JobOutcomesPath(), job, values)) {
        Problem("the job record " + JobOutcomesPath() + " cannot be written by the user " +
                CurrentUserName() + " (the outcome of " + job + " is not kept)");
        return;
    }
    const auto metrics = WriteMetricsFile();
    Problem(metrics ? std::string() : "the metrics file is not written: " + metrics.error());
}

std::string RecordProblem() {
    std::lock_guard<std::mutex> guard(problemLock);
    return problem;
}

JobOutcome JobOutcome::Read(const std::string& job) {
    JobOutcome outcome;
    const std::string text = ReadWholeFile(JobOutcomesPath()).value_or("");
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inside = line.substr(1, line.find(']') - 1) == job;
            continue;
        }
        const size_t eq = line.find('=');
        if (!inside || eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        if (!outcome.values_.count(key)) // the first one wins, as for the suite's files
            outcome.values_[key] = IniFile::ReadFrom(text, job, key);
    }
    return outcome;
}

const std::string& JobOutcome::operator[](const std::string& key) const {
    static const std::string none;
    const auto it = values_.find(key);
    return it == values_.end() ? none : it->second;
}

BackupOutcome BackupOutcome::Read() {
    const JobOutcome r = JobOutcome::Read("Backup");
    BackupOutcome b;
    b.time = r.time();
    b.result = r.result();
    b.archive = r["Archive"];
    b.failure = r["Failure"];
    b.missing = r["Missing"];
    b.shrink = r["Shrink"];
    b.accepted = r["Accepted"];
    b.seconds = r["Seconds"];
    b.bytes = Number(r["Bytes"], 0);
    b.lastGoodArchive = r["LastGoodArchive"];
    b.lastGoodTime = r["LastGoodTime"];
    b.lastGoodBytes = Number(r["LastGoodBytes"], 0);
    return b;
}

DriveOutcome DriveOutcome::Read() {
    const JobOutcome r = JobOutcome::Read("BackupDrive");
    DriveOutcome d;
    d.label = r["Label"];
    d.labelSince = r["LabelSince"];
    d.mount = r["Mount"];
    d.lastResult = r["LastResult"];
    d.lastAttemptTime = r["LastAttemptTime"];
    d.lastGoodCopyTime = r["LastGoodCopyTime"];
    d.lastGoodCopy = r["LastGoodCopy"];
    d.lastFailure = r["LastFailure"];
    d.lastFailureTime = r["LastFailureTime"];
    d.freeBytes = Number(r["FreeBytes"], -1);
    d.totalBytes = Number(r["TotalBytes"], -1);
    return d;
}

} // namespace zenta
