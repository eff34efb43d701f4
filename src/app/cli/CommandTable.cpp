#include "Commands.h"

#include "StandbyActions.h"
#include "Terminal.h"

#include <algorithm>
#include <iostream>

namespace zenta::cli {

namespace {

// What standby does, from the table of its actions.
std::string StandbySummary() {
    std::string text = "a pair of servers ([Standby] Host names the other):";
    for (const auto& a : StandbyActions())
        text += std::string(" ") + a.name + " (" + a.help + ");";
    text.pop_back();
    return Wrapped(text);
}

} // namespace

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"status", nullptr,
         "the database, the server and this computer, the last backup,\npurge, stock renewal "
         "and IP report, and whether a monitor runs here",
         Needs::Nothing, Status},
        {"doctor", nullptr,
         "checks everything this computer's set-up needs, one line each,\nwith the fix for "
         "each one that is not good",
         Needs::Nothing, Doctor},
        {"backup", nullptr,
         "one full backup now: tested, compared with the last good one,\nrotated, copied to "
         "the backup drive",
         Needs::DatabaseAndJobLock, Backup},
        {"check-structure", nullptr,
         "compares the database's structure with the reference database", Needs::DatabaseAndJobLock,
         CheckStructure},
        {"workstations", nullptr, "the computers on which the suite's programs are running",
         Needs::Database, Workstations},
        {"ip-update", nullptr, "reports this branch's address to head office now",
         Needs::DatabaseAndJobLock, IPUpdate},
        {"run-cycle", nullptr,
         "one maintenance cycle now (clean-up, stock, backup, purge, rotation)",
         Needs::DatabaseAndJobLock, RunCycleOnce},
        {"clear-print-queues", nullptr,
         "cancels every unprinted job of every print queue (asks first)", Needs::Nothing,
         ClearPrintQueues},
        {"restore", "[ARCHIVE]",
         "restores an archive into a new database\n(zentasupermarket_restore_<time>, or "
         "--database NAME); into the\nlive database only with --into-live, which backs it up "
         "first;\nwith --until, to a second of the copied binary log",
         Needs::DatabaseAndJobLock, Restore},
        {"verify", "ARCHIVE",
         "restores an archive into a scratch database and compares every\ntable with the "
         "figures recorded when it was made",
         Needs::DatabaseAndJobLock, Verify},
        {"standby", "ACTION", StandbySummary(), Needs::Nothing, Standby},
        {"offsite", "ACTION",
         "the off-site repository ([Offsite]; --branch for another branch):\n"
         "list: its archives and the windows that can be restored from it\n"
         "check: every archive whole, every chain's segments joining\n"
         "prune: removes what the retention no longer keeps, for every branch\n"
         "(head office, with a key that may delete; --dry-run)",
         Needs::Nothing, Offsite},
    };
    return commands;
}

std::string Usage() {
    std::string text = "Usage: ZentaMarketMonitor [COMMAND] [OPTIONS]\n"
                       "\n"
                       "Without a command: the shop's monitor (tray icon, helper programs, hot "
                       "keys and, on the\n"
                       "computer with the database, the maintenance cycle).\n"
                       "\n"
                       "Commands (each does its work once, prints the result and ends):\n";
    auto column = [&](std::string head, const std::string& body) {
        head = "  " + head;
        head.resize(std::max<size_t>(head.size() + 2, 22), ' ');
        size_t start = 0;
        bool first = true;
        while (start <= body.size()) {
            const size_t end = body.find('\n', start);
            const std::string line =
                body.substr(start, end == std::string::npos ? std::string::npos : end - start);
            text += (first ? head : std::string(22, ' ')) + line + "\n";
            first = false;
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    };
    for (const auto& c : Commands())
        column(std::string(c.name) + (c.operand ? std::string(" ") + c.operand : ""), c.summary);
    text += "\nOptions:\n";
    for (const auto& o : OptionTable())
        column(std::string(o.name) + (o.argument ? std::string(" ") + o.argument : ""), o.help);
    text += "  --help, --version\n"
            "\n"
            "Exit status: 0 done, 1 done but not good (a backup that does not count, a structure\n"
            "that differs, an archive that does not restore as it was made; standby: refused\n"
            "because unsafe), 2 could not run or bad usage.\n";
    return text;
}

Outcome BadUsage(const std::string& why) {
    std::cerr << "ZentaMarketMonitor: " << why << "\n\n" << Usage();
    return Outcome::BadUsage;
}

} // namespace zenta::cli
