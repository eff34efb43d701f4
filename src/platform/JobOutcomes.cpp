#include "JobOutcomes.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "IniFile.h"
#include "LocalTime.h"
#include "Metrics.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
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
    b.shrinkBaseline = r["ShrinkBaseline"];
    b.accepted = r["Accepted"];
    b.seconds = r["Seconds"];
    b.bytes = Number(r["Bytes"], 0);
    b.lastGoodArchive = r["LastGoodArchive"];
    b.lastGoodTime = r["LastGoodTime"];
    b.lastGoodBytes = Number(r["LastGoodBytes"], 0);
    b.lastGoodSequence = Number(r["LastGoodSequence"], 0);
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

long long NextOutcomeSequence() {
    if (Globals::AppPath.empty())
        return 0;
    const std::string path = Globals::AppPath + "Log/JobOutcomes.sequence";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (fd < 0)
        return 0;
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    const long long next = (n > 0 ? std::atoll(text) : 0) + 1;
    const std::string out = std::to_string(next) + "\n";
    const bool written =
        ::pwrite(fd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()) &&
        ::ftruncate(fd, static_cast<off_t>(out.size())) == 0;
    ::close(fd);
    return written ? next : 0;
}

BinlogCopyOutcome BinlogCopyOutcome::Read() {
    const JobOutcome r = JobOutcome::Read("BinlogCopy");
    BinlogCopyOutcome c;
    c.checked = r["Checked"];
    c.state = r["State"];
    c.since = r["Since"];
    c.why = r["Why"];
    c.problem = r["Problem"];
    c.reach = r["Reach"];
    c.currentAt = r["CurrentAt"];
    c.lagBytes = Number(r["LagBytes"], -1);
    c.lagSeconds = Number(r["LagSeconds"], -1);
    c.folder = r["Folder"];
    c.chain = r["Chain"];
    c.file = r["File"];
    c.lastGap = r["LastGap"];
    c.lastGapTime = r["LastGapTime"];
    c.lastGapSequence = Number(r["LastGapSequence"], 0);
    return c;
}

bool BinlogCopyOutcome::Streaming(std::time_t now) const {
    const long long looked = StampSeconds(checked);
    return state == "streaming" && looked > 0 && now - looked <= kBinlogRecordStaleSeconds;
}

std::string BinlogCopyOutcome::DownSince(std::time_t now) const {
    if (state == "streaming" && !Streaming(now))
        return checked;
    return state == "down" ? since : std::string();
}

std::string BinlogCopyOutcome::DownWhy(std::time_t now) const {
    if (state == "streaming" && !Streaming(now))
        return "the monitor has not looked at the copy since (is it running?)";
    return state == "down" ? why : std::string();
}

long long BinlogCopyOutcome::DownSeconds(std::time_t now) const {
    const long long from = StampSeconds(DownSince(now));
    return from > 0 && now > from ? now - from : 0;
}

std::string BinlogCopyOutcome::Text(std::time_t now) const {
    if (state.empty())
        return "not started";
    if (state == "off")
        return "off" + (why.empty() ? std::string() : ": " + why);
    if (Streaming(now))
        return "streaming";
    const std::string reason = DownWhy(now);
    return "down since " + DownSince(now) + (reason.empty() ? std::string() : ": " + reason);
}

bool BinlogCopyOutcome::GapUncovered(const BackupOutcome& backup) const {
    if (lastGapSequence > 0 || backup.lastGoodSequence > 0)
        return lastGapSequence > backup.lastGoodSequence;
    // Both recorded before the sequence was: by their clock times.
    return !lastGapTime.empty() && lastGapTime >= backup.lastGoodTime;
}

} // namespace zenta
