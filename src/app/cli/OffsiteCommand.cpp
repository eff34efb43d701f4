#include "Commands.h"

#include "Common.h"
#include "LocalTime.h"
#include "OffsiteCare.h"
#include "OffsiteRestore.h"
#include "Session.h"
#include "Terminal.h"

#include <iostream>

namespace zenta::cli {

namespace {

Outcome List(const OffsiteBranch& branch) {
    S3Client client(branch.settings.storage);
    const auto held = repository::ReadBranch(client, branch.prefix);
    if (!held) {
        std::cerr << "The repository cannot be read: " << held.error() << "\n";
        return Outcome::CouldNotRun;
    }
    std::cout << branch.prefix << " in " << branch.settings.storage.bucket << " at "
              << branch.settings.storage.endpoint << ":\n";
    if (held->archives.empty())
        std::cout << "  no archive\n";
    for (const auto& a : held->archives)
        std::cout << "  " << a.manifest.archive << ", snapshot " << InstantText(a.taken) << " in "
                  << a.manifest.snapshot.chain << ", " << Megabytes(a.manifest.size)
                  << (a.manifest.encrypted ? ", encrypted" : ", NOT encrypted")
                  << (a.archive ? std::string() : ", the archive itself MISSING") << "\n";
    std::cout << "Windows that can be restored from it (as its names say; offsite check "
                 "reads every object):\n";
    const auto windows = repository::WindowsByName(client, *held);
    if (windows.empty())
        std::cout << "  none\n";
    for (const auto& w : windows)
        std::cout << "  " << repository::NamedWindowText(w) << "\n";
    for (const auto& n : held->notes)
        std::cout << "Left aside: " << n << "\n";
    return Outcome::Good;
}

} // namespace

Outcome Offsite(const Options& options) {
    if (options.action == "prune") {
        PruneOptions p;
        p.branch = options.branch;
        p.credentialsFile = options.credentialsFile;
        p.dryRun = options.dryRun;
        if (options.days >= 0)
            p.days = options.days;
        if (options.weekly >= 0)
            p.weekly = options.weekly;
        if (options.monthly >= 0)
            p.monthly = options.monthly;
        const PruneReport report =
            PruneRepository(p, [](const std::string& line) { std::cout << line << "\n"; });
        if (!report.error.empty())
            std::cerr << "Not pruned: " << report.error << "\n";
        return report.error.empty() ? (report.refused ? Outcome::NotGood : Outcome::Good)
                                    : Outcome::CouldNotRun;
    }
    if (options.action == "list") {
        const auto branch = ReachOffsiteBranch(options.branch, options.credentialsFile);
        if (!branch) {
            std::cerr << "The repository cannot be used: " << branch.error() << "\n";
            return Outcome::CouldNotRun;
        }
        return List(*branch);
    }
    // The branch given or this shop's; at head office, with none known, every branch.
    std::vector<OffsiteBranch> branches;
    if (auto one = ReachOffsiteBranch(options.branch, options.credentialsFile)) {
        branches.push_back(*one);
    } else {
        auto settings = ReadOffsiteStorage(options.credentialsFile);
        if (!settings) {
            std::cerr << "The repository cannot be used: " << settings.error() << "\n";
            return Outcome::CouldNotRun;
        }
        S3Client client(settings->storage);
        const auto all = repository::BranchesIn(client);
        if (!all) {
            std::cerr << "The repository cannot be used: " << all.error() << "\n";
            return Outcome::CouldNotRun;
        }
        for (const auto& prefix : *all)
            branches.push_back(OffsiteBranch{*settings, prefix});
        if (branches.empty()) {
            std::cerr << "The bucket " << settings->storage.bucket << " holds no branch.\n";
            return Outcome::NotGood;
        }
    }
    if (options.restoreTest && !Connect())
        return Outcome::CouldNotRun;
    bool whole = true;
    for (const auto& branch : branches) {
        ProgressLine progress;
        const auto show = [&](const std::string& line) { progress.Show(line); };
        const CheckReport report = CheckRepository(branch, options.passwordFile, show);
        progress.Clear();
        for (const auto& line : report.lines)
            std::cout << line << "\n";
        if (!report.error.empty()) {
            std::cerr << branch.prefix << ": not checked: " << report.error << "\n";
            whole = false;
            continue;
        }
        whole = whole && report.whole;
        if (!options.restoreTest)
            continue;
        const RestoreTestReport tested = RestoreTestRepository(branch, options.passwordFile, show);
        progress.Clear();
        for (const auto& line : tested.lines)
            std::cout << line << "\n";
        whole = whole && tested.good;
    }
    return whole ? Outcome::Good : Outcome::NotGood;
}

} // namespace zenta::cli
