#pragma once

#include "Result.h"

#include <set>
#include <string>
#include <vector>

namespace zenta::cli {

struct Options {
    std::string command;
    std::string archive;
    std::string action; // standby: status, seed, promote, ...; offsite: list, check, prune
    std::string database;
    bool intoLive = false;
    bool reseedStandby = false; // restore --into-live on a pair: the standby seeded again after
    std::string passwordFile;
    std::string until;           // restore: "yyyy-mm-dd hh:nn:ss" or "latest"
    bool fromOffsite = false;    // restore from the off-site repository
    std::string branch;          // restore --from-offsite, offsite: the branch's prefix
    std::string credentialsFile; // the repository's key, instead of [Offsite] CredentialsFile
    bool dryRun = false;         // offsite prune: say what would go
    bool restoreTest = false;    // offsite check: restore the newest window as a test
    long days = -1, weekly = -1, monthly = -1; // offsite prune: what is kept (-1: the default)
    bool yes = false;
    bool acceptShrink = false;
    bool replace = false; // standby seed over a server that holds data
    bool force = false;   // standby promote over a replication error
    long waitSeconds = 1800;
    std::set<std::string> given; // the options named on the command line
};

// The options: what each takes and which commands take it.
struct OptionRule {
    const char* name;
    const char* argument; // nullptr for a switch
    std::string help;
    std::vector<std::string> commands;
};

// The options: what each takes and which commands take it.
const std::vector<OptionRule>& OptionTable();

} // namespace zenta::cli
