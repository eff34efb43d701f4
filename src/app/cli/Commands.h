#pragma once

#include "Options.h"
#include "Outcome.h"

#include <string>
#include <vector>

namespace zenta::cli {

// What a command needs before it runs: the database, and the folder's job lock (so that it
// never overlaps a job of the monitor).
enum class Needs { Nothing, Database, DatabaseAndJobLock };

struct Command {
    const char* name;
    const char* operand; // "ARCHIVE", or nullptr
    std::string summary;
    Needs needs;
    Outcome (*run)(const Options&);
};

// Every command, in the order --help lists them.
const std::vector<Command>& Commands();
// --help's text, from the tables of commands and options.
std::string Usage();
// Says why the command line is not understood, then the usage.
Outcome BadUsage(const std::string& why);

// The commands, each in a file of its own.
Outcome Status(const Options& options);
Outcome Doctor(const Options& options);
Outcome Backup(const Options& options);
Outcome CheckStructure(const Options& options);
Outcome Workstations(const Options& options);
Outcome IPUpdate(const Options& options);
Outcome RunCycleOnce(const Options& options);
Outcome ClearPrintQueues(const Options& options);
Outcome Restore(const Options& options);
Outcome Verify(const Options& options);
Outcome Standby(const Options& options);
Outcome Offsite(const Options& options);

} // namespace zenta::cli
