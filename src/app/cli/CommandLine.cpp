#include "CommandLine.h"

#include "Commands.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "MenuCommands.h"
#include "Options.h"
#include "Parse.h"
#include "ProgramSetUp.h"
#include "Session.h"
#include "StopRequest.h"
#include "clsOrdenadorEjecutando.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace zenta {

namespace {

using namespace cli;

// Connects and takes the job lock as the command needs, then runs it.
Outcome Dispatch(const Command& command, const Options& options) {
    if (command.needs != Needs::Nothing && !Connect())
        return Outcome::CouldNotRun;
    if (command.needs != Needs::DatabaseAndJobLock)
        return command.run(options);
    Outcome outcome = Outcome::CouldNotRun;
    if (!WithJobLock(options, [&] { outcome = command.run(options); }))
        return Outcome::CouldNotRun;
    return outcome;
}

} // namespace

int RunCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << Usage();
            return 0;
        }
        if (a == "--version") {
            std::cout << "ZentaMarketMonitor " << ProgramVersionText() << "\n";
            return 0;
        }
    }
    const auto options = Parse(argc, argv);
    if (!options)
        return ExitStatus(BadUsage(options.error()));
    const Command& command =
        *std::find_if(Commands().begin(), Commands().end(),
                      [&](const Command& c) { return options->command == c.name; });

    SetUpProgramGlobals(true);
    SetLogEcho(false); // the command's own words say what happened; the log keeps the rest
    HandleStopSignals();
    // A log that cannot be written loses what the command did: said before anything is done.
    if (FileExists(ProgramLogPath()) && ::access(ProgramLogPath().c_str(), W_OK) != 0)
        std::cerr << "Warning: the program log " << ProgramLogPath() << " cannot be written ("
                  << std::strerror(errno) << "); " << OwnerFix(ProgramLogPath()) << "\n";
    Outcome outcome = Outcome::CouldNotRun;
    if (const auto owner = CheckFolderOwner(command.name);
        !owner && command.needs != Needs::Nothing)
        std::cerr << "Not done: " << owner.error() << "\n";
    else
        outcome = Dispatch(command, *options);
    // What was done is only known to the monitor, the tray and the metrics through the record.
    if (const std::string problem = RecordProblem(); !problem.empty()) {
        std::cerr << "Warning: " << problem << "; " << OwnerFix(JobOutcomesPath()) << "\n";
        if (outcome == Outcome::Good)
            outcome = Outcome::NotGood;
    }
    ReleaseOrdenadorEjecutando();
    ReleaseDataBase();
    return ExitStatus(outcome);
}

} // namespace zenta
