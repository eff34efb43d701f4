#include "Parse.h"

#include "Commands.h"
#include "StandbyActions.h"
#include "Text.h"

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace zenta::cli {

namespace {

// An option's value into the options; why not, when it cannot be taken.
std::string Take(const std::string& name, const std::string& value, Options& options) {
    options.given.insert(name);
    if (name == "--yes") {
        options.yes = true;
    } else if (name == "--replace") {
        options.replace = true;
    } else if (name == "--force") {
        options.force = true;
    } else if (name == "--accept-shrink") {
        options.acceptShrink = true;
    } else if (name == "--into-live") {
        options.intoLive = true;
    } else if (name == "--reseed-standby") {
        options.reseedStandby = true;
    } else if (name == "--database") {
        options.database = value;
    } else if (name == "--password-file") {
        options.passwordFile = value;
    } else if (name == "--from-offsite") {
        options.fromOffsite = true;
    } else if (name == "--dry-run") {
        options.dryRun = true;
    } else if (name == "--restore-test") {
        options.restoreTest = true;
    } else if (name == "--branch") {
        options.branch = value;
    } else if (name == "--credentials-file") {
        options.credentialsFile = value;
    } else if (name == "--days" || name == "--weekly" || name == "--monthly") {
        char* end = nullptr;
        const long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || !end || *end || n < 0)
            return name + " needs a number";
        (name == "--days"     ? options.days
         : name == "--weekly" ? options.weekly
                              : options.monthly) = n;
    } else if (name == "--until") {
        options.until = value;
    } else if (name == "--wait") {
        char* end = nullptr;
        options.waitSeconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || !end || *end || options.waitSeconds < 0)
            return "--wait needs a number of seconds";
    }
    return {};
}

// What the options given say together; why they cannot stand, "" when they can.
std::string Contradiction(const Command& command, const Options& options) {
    for (const auto& name : options.given) {
        const auto rule = std::find_if(OptionTable().begin(), OptionTable().end(),
                                       [&](const OptionRule& o) { return name == o.name; });
        if (std::find(rule->commands.begin(), rule->commands.end(), options.command) ==
            rule->commands.end())
            return name + " is not an option of " + options.command;
    }
    if (options.command == "standby") {
        if (FindStandbyAction(options.action))
            return {};
        std::string names;
        for (const auto& a : StandbyActions())
            names += (names.empty() ? "" : ", ") + std::string(a.name);
        return "standby needs one of " + names;
    }
    if (options.command == "offsite") {
        if (options.dryRun && options.action != "prune")
            return "--dry-run goes with offsite prune";
        if (options.restoreTest && options.action != "check")
            return "--restore-test goes with offsite check";
        if (options.action == "list" || options.action == "check" || options.action == "prune")
            return {};
        return "offsite needs one of list, check, prune";
    }
    if (options.fromOffsite && !options.archive.empty())
        return "restore --from-offsite chooses the archive in the repository: give no ARCHIVE";
    if (options.fromOffsite && options.until.empty())
        return "restore --from-offsite needs --until latest or --until TIME";
    if ((options.given.count("--branch") || options.given.count("--credentials-file")) &&
        options.command == "restore" && !options.fromOffsite)
        return "--branch and --credentials-file go with --from-offsite";
    if (command.operand && options.archive.empty() && options.until.empty())
        return options.command + " needs the archive";
    if (options.intoLive && options.given.count("--database"))
        return "--into-live and --database contradict each other: --into-live restores into the "
               "live database zentasupermarket, --database NAME into another one; give one of "
               "them";
    if (options.reseedStandby && !options.intoLive)
        return "--reseed-standby goes with --into-live: a restore into another database leaves "
               "the standby as it is";
    if (options.database.size() > 64)
        return "the database name \"" + options.database + "\" is too long: at most 64 characters";
    return {};
}

} // namespace

Result<Options> Parse(int argc, char** argv) {
    auto bad = [](const std::string& why) { return Result<Options>::Failure(why); };
    Options options;
    const Command* command = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-y")
            a = "--yes";
        if (!a.empty() && a[0] == '-') {
            const auto rule = std::find_if(OptionTable().begin(), OptionTable().end(),
                                           [&](const OptionRule& o) { return a == o.name; });
            if (rule == OptionTable().end())
                return bad("unknown argument \"" + a + "\"");
            if (rule->argument && i + 1 >= argc)
                return bad(a + " needs " + AsciiLowerCase(rule->argument));
            if (const std::string why = Take(a, rule->argument ? argv[++i] : "", options);
                !why.empty())
                return bad(why);
        } else if (!command) {
            options.command = a;
            const auto found = std::find_if(Commands().begin(), Commands().end(),
                                            [&](const Command& c) { return a == c.name; });
            if (found == Commands().end())
                return bad("unknown command \"" + a + "\"");
            command = &*found;
        } else if ((options.command == "standby" || options.command == "offsite") &&
                   options.action.empty()) {
            options.action = a;
        } else if (command->operand && options.archive.empty() && options.command != "standby" &&
                   options.command != "offsite") {
            options.archive = a;
        } else {
            return bad("unknown argument \"" + a + "\"");
        }
    }
    if (!command)
        return bad("no command given");
    if (const std::string why = Contradiction(*command, options); !why.empty())
        return bad(why);
    if (!options.archive.empty() && options.archive[0] != '/') {
        // Relative to where the technician stands, not to the program folder.
        char here[4096];
        if (::getcwd(here, sizeof here))
            options.archive = std::string(here) + "/" + options.archive;
    }
    return options;
}

} // namespace zenta::cli
