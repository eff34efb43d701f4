#include "Rejoin.h"
#include "StandbySteps.h"

#include "BinlogServer.h"
#include "Common.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "LocalTime.h"
#include "Process.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace zenta {

namespace {

// What the old primary holds that the new one lacks, in the words of mariadb-binlog, into a file
// of Log/ for a person: the path, or why it could not be written.
Result<std::string> WriteTransactionsAfter(PairConnections& pair, const std::string& point) {
    using Path = Result<std::string>;
    const auto files = ServerLogFiles(pair.self);
    if (!files)
        return Path::Failure(files.error());
    const auto own = WriteClientSettings("standby-own.cnf");
    if (!own)
        return Path::Failure(own.error());
    const std::string path =
        Globals::AppPath + "Log/standby-not-on-the-primary-" +
        ReplaceAll(ReplaceAll(LocalStampText(std::time(nullptr)), " ", "-"), ":", "") + ".sql";
    const std::string program = BinlogProgram();
    std::vector<std::string> argv = {program,
                                     "--defaults-extra-file=" + *own,
                                     "--read-from-remote-server",
                                     "--start-position=" + point,
                                     "--base64-output=DECODE-ROWS",
                                     "--verbose"};
    for (const auto& f : *files)
        argv.push_back(f.name);
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (out < 0)
        return Path::Failure("cannot write " + path + ": " + std::strerror(errno));
    const std::string errors = Globals::AppPath + "Temp/standby-rejoin-errors.txt";
    std::remove(errors.c_str());
    const int pid = StartInPipeline(argv, -1, out, errors);
    ::close(out);
    const int status = pid < 0 ? -1
                               : WaitForProgram(
                                     pid, [] {}, [&] { return FileLength(path); });
    std::remove(own->c_str());
    if (pid < 0)
        return Path::Failure(program + " could not be started: " + ProgramStartError());
    if (status != 0)
        return Path::Failure(ProgramEnded(program, status) + ": " +
                             TrimWhitespace(FileTail(errors, 600)));
    return path;
}

// Why the old primary must not follow the new one (nothing when it may): it holds transactions
// after the promotion point `point`, or wrote some since it came back; either way they are
// listed for a person.
std::optional<StandbyReport> RejoinRefusal(PairConnections& pair, const std::string& point) {
    const ServerView& self = pair.view.self;
    const auto extraOrFailure = TransactionsAfterPoint(self.side.binlogPos, point);
    if (!extraOrFailure)
        return Report(StandbyResult::CouldNotRun, extraOrFailure.error());
    if (const auto extra = *extraOrFailure; extra > 0) {
        const auto listed = WriteTransactionsAfter(pair, point);
        return Report(StandbyResult::Refused,
                      "Not rejoined: this server holds " + std::to_string(extra) +
                          " transactions written after the promotion point " + point +
                          " (its log ends at " + self.side.binlogPos +
                          "): nobody was told of them, or they were taken while it was not "
                          "fenced. " +
                          (listed ? "They are listed in " + *listed + " for a person to look at. "
                                  : "They could not be listed: " + listed.error() + ". ") +
                          "After a power cut these are usually what it wrote but never sent (no "
                          "till was told of them): start its server once with "
                          "--init-rpl-role=SLAVE, which removes them, then rejoin. Else standby "
                          "seed --replace here makes it the standby with the new primary's data "
                          "(those transactions are then gone from it).");
    }
    // Written since it came back (its server begins a new file at every start): nobody else
    // holds those, whatever their numbers (after a crash the server drops what it never sent,
    // and a new transaction may then take a number the new primary gave another).
    const auto files = ServerLogFiles(pair.self);
    const auto begins =
        files && !files->empty() ? ServerFileBegins(pair.self, files->back().name) : std::nullopt;
    if (!begins)
        return Report(StandbyResult::CouldNotRun,
                      "This server's binary log cannot be read to see what it wrote since its "
                      "start.");
    // One transaction for each domain, the last (as a start position takes it).
    GtidState last;
    for (const auto& [key, sequence] : *begins) {
        auto same = std::find_if(last.begin(), last.end(),
                                 [&](const auto& e) { return e.first.first == key.first; });
        if (same == last.end() || same->second < sequence) {
            if (same != last.end())
                last.erase(same);
            last[key] = sequence;
        }
    }
    const std::string since = GtidStateText(last);
    if (const auto written = TransactionsAfterPoint(self.side.binlogPos, since);
        !written || *written > 0) {
        const auto listed = WriteTransactionsAfter(pair, since);
        return Report(StandbyResult::Refused,
                      "Not rejoined: this server took " +
                          (written ? std::to_string(*written) : std::string("some")) +
                          " transactions since it came back (its log went on from " + since +
                          " to " + self.side.binlogPos +
                          "), which the new primary does not hold. " +
                          (listed ? "They are listed in " + *listed + " for a person to look at. "
                                  : "They could not be listed: " + listed.error() + ". ") +
                          "standby seed --replace here makes it the standby with the new "
                          "primary's data.");
    }
    return std::nullopt;
}

} // namespace

StandbyReport RejoinOldPrimary(const Say& say) {
    PairConnections pair;
    if (!pair.Look())
        return Report(StandbyResult::CouldNotRun, kNoPair);
    const ServerView& self = pair.view.self;
    const ServerView& other = pair.view.partner;
    if (!self.reached)
        return Report(StandbyResult::CouldNotRun,
                      "This computer's server (" + self.address + ") " + self.why);
    if (!other.reached)
        return Report(StandbyResult::CouldNotRun,
                      "The new primary (" + other.address + ") " + other.why);
    if (pair.view.Role() == PairRole::Standby && self.side.replica.configured)
        return Report(StandbyResult::Done, "This server is the standby already.");
    if (!other.OpenPrimary() || other.record->promotionGtid.empty())
        return Report(StandbyResult::Refused,
                      "Not rejoined: the other server (" + other.address +
                          ") is not a primary made by a promotion (its record names no "
                          "promotion point); standby seed --replace makes this one its standby.");
    if (!self.side.readOnly)
        return Report(StandbyResult::Refused,
                      "Not rejoined: this server is open for sales (read_only is OFF).");
    if (auto refused = RejoinRefusal(pair, other.record->promotionGtid))
        return *refused;
    say("following the new primary (" + other.address + ") from " +
            (self.side.binlogPos.empty() ? std::string("the start") : self.side.binlogPos),
        false);
    if (auto followed = FollowNewPrimary(pair); !followed)
        return Report(StandbyResult::Refused, "Not rejoined: " + followed.error());
    if (auto written = WritePairRecord(pair.self, *other.record); !written)
        return Report(StandbyResult::CouldNotRun, written.error());
    const StandbyReport caught = WaitCaughtUp(pair, kCatchUpStallSeconds, say);
    if (caught.result != StandbyResult::Done)
        return Report(caught.result, "Rejoined, but not in step: " + caught.text);
    WriteProgramLog("standby: the old primary rejoined as the standby of " + other.address);
    return Report(StandbyResult::Done, "This server is the standby of the new primary (" +
                                           other.address + ") and in step with it (" + caught.text +
                                           ").");
}

} // namespace zenta
