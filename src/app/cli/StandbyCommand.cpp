#include "Commands.h"

#include "Check.h"
#include "Describe.h"
#include "Open.h"
#include "Promote.h"
#include "Rejoin.h"
#include "Seed.h"
#include "StandbyActions.h"
#include "Switchover.h"
#include "Terminal.h"

#include <iostream>
#include <unistd.h>

namespace zenta::cli {

namespace {

Outcome OutcomeOf(StandbyResult result) {
    switch (result) {
    case StandbyResult::Done:
        return Outcome::Good;
    case StandbyResult::Refused:
        return Outcome::NotGood;
    case StandbyResult::CouldNotRun:
        break;
    }
    return Outcome::CouldNotRun;
}

// A person's yes to opening this server while the other cannot be reached.
bool Confirmed(const Options& options, const std::string& why) {
    if (options.yes)
        return true;
    std::cout << why << "\n";
    if (!::isatty(0)) {
        std::cout << "Not opened: say --yes to open it without a terminal.\n";
        return false;
    }
    std::cout << "Open this server for sales? Type OPEN to confirm: " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "OPEN";
}

Outcome Open(const Options& options) {
    OpenAnswer answer = OpenThisServer(false);
    if (answer.needsConfirmation) {
        if (!Confirmed(options, answer.text))
            return Outcome::NotGood;
        answer = OpenThisServer(true);
    }
    (answer.opened ? std::cout : std::cerr)
        << (answer.opened ? "" : "Not opened: ") << answer.text << "\n";
    if (answer.opened)
        return Outcome::Good;
    return answer.unsafe ? Outcome::NotGood : Outcome::CouldNotRun;
}

// --wait when given, else the action's own default.
long WaitSeconds(const Options& options) {
    if (options.given.count("--wait"))
        return options.waitSeconds;
    const StandbyAction* action = FindStandbyAction(options.action);
    return action ? action->waitSeconds : 0;
}

} // namespace

Outcome Standby(const Options& options) {
    if (options.action == "open")
        return Open(options);
    if (options.action == "check") {
        // keepalived reads only the exit status; the line is for a person trying it.
        const StandbyReport report = CheckHealthy();
        std::cout << report.text << "\n";
        return OutcomeOf(report.result);
    }
    ProgressLine progress;
    const Say say = SayOn(progress);
    StandbyReport report;
    if (options.action == "seed")
        report = SeedStandby(options.replace, say);
    else if (options.action == "rejoin")
        report = RejoinOldPrimary(say);
    else if (options.action == "promote")
        report = PromoteStandby(options.force, WaitSeconds(options), say);
    else if (options.action == "switchover")
        report = SwitchOver(WaitSeconds(options), say);
    else
        report = DescribePair(say);
    progress.Clear();
    if (!report.text.empty())
        (report.result == StandbyResult::Done ? std::cout : std::cerr) << report.text << "\n";
    return OutcomeOf(report.result);
}

} // namespace zenta::cli
