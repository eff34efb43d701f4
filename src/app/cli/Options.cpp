#include "Options.h"

#include "StandbyActions.h"
#include "Terminal.h"
#include "Text.h"

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace zenta::cli {

namespace {

// --wait's help: the job lock's default, and each standby action's own.
std::string WaitHelp() {
    std::string text = "how long to wait for a job of the running monitor to finish (default "
                       "1800)";
    for (const auto& a : StandbyActions())
        if (a.waitSeconds > 0)
            text += std::string("; standby ") + a.name + ": " + a.waitHelp + " (default " +
                    std::to_string(a.waitSeconds) + ")";
    return Wrapped(text);
}

} // namespace

const std::vector<OptionRule>& OptionTable() {
    static const std::vector<OptionRule> options = {
        {"--yes",
         nullptr,
         "clear-print-queues or standby open without asking",
         {"clear-print-queues", "standby"}},
        {"--replace",
         nullptr,
         "standby seed: replace what this computer's server holds",
         {"standby"}},
        {"--force",
         nullptr,
         "standby promote: promote although the standby's replication\nstopped on an error "
         "(the error is printed; sales it lacks stay lacking)",
         {"standby"}},
        {"--accept-shrink",
         nullptr,
         "backup: take the new backup as good although the database holds\n"
         "much less than at the last good backup (the change is meant)",
         {"backup"}},
        {"--database", "NAME", "restore into this database", {"restore"}},
        {"--into-live",
         nullptr,
         "restore into zentasupermarket itself (backed up first)",
         {"restore"}},
        {"--reseed-standby",
         nullptr,
         "restore --into-live on a pair of servers: seed the standby again\nfrom this server "
         "right after (the restore reaches no binary log)",
         {"restore"}},
        {"--until",
         "TIME",
         "restore: bring the archive forward with the copied binary log to the\nlast "
         "transaction committed at or before TIME (\"YYYY-MM-DD HH:MM:SS\",\nthis "
         "computer's clock) or to the latest; without ARCHIVE the newest\ngood archive "
         "before TIME is taken",
         {"restore"}},
        {"--from-offsite",
         nullptr,
         "restore: from the off-site repository ([Offsite]), on any computer\nwith a server; "
         "with --until, the archive and log chosen there",
         {"restore"}},
        {"--branch",
         "PREFIX",
         "restore --from-offsite, offsite: the branch's prefix in the bucket\n(default: "
         "[Offsite] Prefix, or this shop's numbers)",
         {"restore", "offsite"}},
        {"--credentials-file",
         "FILE",
         "restore --from-offsite, offsite: the repository's key from this file\n(AccessKey=, "
         "SecretKey=) instead of [Offsite] CredentialsFile",
         {"restore", "offsite"}},
        {"--dry-run", nullptr, "offsite prune: list what would go, remove nothing", {"offsite"}},
        {"--restore-test",
         nullptr,
         "offsite check: and restore each branch's newest archive and window\ninto scratch "
         "databases, every table compared (recorded in the metrics)",
         {"offsite"}},
        {"--days",
         "N",
         "offsite prune: keep every archive of the last N days (default 30)",
         {"offsite"}},
        {"--weekly",
         "N",
         "offsite prune: and the newest archive of each of the last N weeks\n(default 8)",
         {"offsite"}},
        {"--monthly",
         "N",
         "offsite prune: and the newest archive of each of the last N months\n(default 12)",
         {"offsite"}},
        {"--password-file",
         "FILE",
         "restore or verify an encrypted archive with the password on\n"
         "the file's first line (default: the shop's ArchivePassword or\n"
         "ArchivePasswordFile)",
         {"restore", "verify", "offsite"}},
        {"--wait",
         "SECONDS",
         WaitHelp(),
         {"backup", "check-structure", "ip-update", "run-cycle", "restore", "verify", "standby"}},
    };
    return options;
}

} // namespace zenta::cli
