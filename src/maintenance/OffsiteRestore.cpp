#include "OffsiteRestore.h"

#include "ArchivePassword.h"
#include "BinlogChain.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "LocalTime.h"
#include "Opcion.h"
#include "Text.h"

#include <algorithm>
#include <filesystem>

namespace zenta {

namespace {

std::string Listed(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& i : items)
        text += (text.empty() ? "" : ", ") + i;
    return text;
}

OffsiteRestoreReport& Failed(OffsiteRestoreReport& report, RestoreFailure kind,
                             const std::string& why) {
    report.until.restore.ok = false;
    report.until.restore.failure = kind;
    report.until.restore.error = why;
    return report;
}

// The archive's name in the local layout: a variant's "~2" dropped.
std::string LocalName(const std::string& archive) {
    return archive.substr(0, archive.find('~'));
}

// The folder a restore fetches into: one per branch, under the program's Temp folder.
std::string StagingFolder(const std::string& prefix) {
    std::string name = prefix;
    std::replace(name.begin(), name.end(), '/', '_');
    return Globals::AppPath + "Temp/offsite-restore/" + name + "/";
}

// The restored database's own branch numbers against the prefix they were restored from,
// where the prefix is one the numbers make: a repository of another branch is never put in
// place of this one's.
std::string OtherBranch(const std::string& prefix, const std::string& database) {
    if (prefix.rfind("zentamarket-", 0) != 0)
        return {};
    clsDataBase& db = DataBase();
    auto number = [&](const std::string& id) {
        db.CreatDatasArray("SELECT VarCharValor FROM `" + database + "`.opcion WHERE ID = '" + id +
                           "';");
        return db.ConnectionStatus() && db.DatasArray()->Count(1) > 0
                   ? TrimSpaces(db.DatasArrayValue(0, 0).ToString())
                   : std::string();
    };
    const std::string theirs = BranchPrefix(number("CadenaID"), number("SubTiendaID"));
    if (theirs.empty() || theirs == prefix)
        return {};
    return "the archive restored from " + prefix + " holds the data of another branch (" + theirs +
           ")";
}

// The candidates for `until`, newest snapshot first: those made at or before the time, or for
// the latest every one (an older archive of the same chain reaches the latest too, with more
// log). A manifest whose archive is missing, or whose snapshot lies in no chain the repository
// holds, is left aside and said: a name anyone with the shop's key could have written.
std::vector<const repository::HeldArchive*> Candidates(const repository::HeldBranch& held,
                                                       const std::optional<std::time_t>& when,
                                                       std::vector<std::string>& notes) {
    std::vector<const repository::HeldArchive*> out;
    for (auto it = held.archives.rbegin(); it != held.archives.rend(); ++it) {
        if (when && it->taken > *when)
            continue;
        const auto chain = held.chains.find(it->manifest.snapshot.chain);
        if (!it->archive)
            notes.push_back(it->manifestObject.key + ": the archive it names is missing");
        else if (chain == held.chains.end() ||
                 !chain->second.files.count(LogFileNumber(it->manifest.snapshot.file)))
            notes.push_back(it->manifestObject.key + ": its snapshot lies in no log held");
        else
            out.push_back(&*it);
    }
    return out;
}

// Everything the repository holds of the branch, with its windows as the names say them; why
// not, when it cannot be read or holds no archive.
Result<repository::HeldBranch> ListBranch(S3Client& client, const OffsiteBranch& branch,
                                          OffsiteRestoreReport& report) {
    using Held = Result<repository::HeldBranch>;
    auto held = repository::ReadBranch(client, branch.prefix);
    if (!held)
        return Held::Failure("the repository cannot be read: " + held.error());
    report.notes = held->notes;
    for (const auto& w : repository::WindowsByName(client, *held))
        report.held.push_back(repository::NamedWindowText(w));
    if (held->archives.empty()) {
        const auto branches = repository::BranchesIn(client);
        return Held::Failure("the repository holds no archive of " + branch.prefix +
                             (branches && !branches->empty()
                                  ? " (the bucket holds the branches " + Listed(*branches) + ")"
                                  : std::string()));
    }
    return held;
}

// The archive in `archives`: downloaded and checked, unless a whole copy is there from a run
// before (it goes on from it). Its path, or why not.
Result<std::string> StageArchive(S3Client& client, const repository::HeldArchive& archive,
                                 const std::string& archives, OffsiteRestoreReport& report,
                                 const std::function<void(const std::string&)>& say) {
    const std::string path = archives + LocalName(archive.manifest.archive);
    const FileDigests had = DigestsOfFile(path);
    if (had.size == archive.manifest.size && had.sha256Hex == archive.manifest.sha256)
        return path;
    say("downloading " + archive.manifest.archive + " (" + Megabytes(archive.manifest.size) + ")");
    if (auto fetched = repository::FetchArchive(client, archive, path); !fetched)
        return Result<std::string>::Failure(fetched.error());
    report.downloaded += archive.manifest.size;
    return path;
}

// The log the archive needs, fetched into `copy` with the archive's snapshot beside it.
Result<Done> StageLog(S3Client& client, const repository::HeldBranch& held,
                      const repository::HeldArchive& archive, const std::string& copy,
                      const std::string& password, OffsiteRestoreReport& report,
                      const std::function<void(const std::string&)>& say) {
    SnapshotRecord snapshot = archive.manifest.snapshot;
    snapshot.archive = LocalName(archive.manifest.archive);
    RecordSnapshot(copy, snapshot);
    say("downloading the log of " + snapshot.chain + " from " + snapshot.file);
    const auto log =
        repository::FetchChain(client, held, snapshot.chain, snapshot.file, copy, password, say);
    if (!log)
        return Result<Done>::Failure("the log the archive " + snapshot.archive +
                                     " needs cannot be fetched: " + log.error());
    report.downloaded += log->bytes;
    for (const auto& f : log->files)
        report.segments += f.segments;
    report.notes.insert(report.notes.end(), log->notes.begin(), log->notes.end());
    return Done{};
}

} // namespace

Result<OffsiteBranch> ReachOffsiteBranch(const std::string& branch,
                                         const std::string& credentialsFile) {
    using Reached = Result<OffsiteBranch>;
    auto settings = ReadOffsiteStorage(credentialsFile);
    if (!settings)
        return Reached::Failure(settings.error());
    OffsiteBranch b{*settings, branch};
    while (!b.prefix.empty() && b.prefix.back() == '/')
        b.prefix.pop_back();
    if (b.prefix.empty())
        b.prefix = settings->prefix;
    if (b.prefix.empty() && EnsureConnected())
        b.prefix = BranchPrefix(OpcionText(DataBase(), "CadenaID", ""),
                                OpcionText(DataBase(), "SubTiendaID", ""));
    if (b.prefix.empty()) {
        S3Client client(settings->storage);
        const auto branches = repository::BranchesIn(client);
        return Reached::Failure(
            "which branch is not known: give --branch (or set [Offsite] Prefix); " +
            (branches ? "the bucket " + settings->storage.bucket + " holds " +
                            (branches->empty() ? std::string("no branch")
                                               : "the branches " + Listed(*branches))
                      : "the bucket cannot be listed: " + branches.error()));
    }
    return b;
}

OffsiteRestoreReport RestoreFromOffsite(const OffsiteRestoreOptions& options) {
    OffsiteRestoreReport report;
    auto say = [&](const std::string& line) {
        if (options.restore.progress)
            options.restore.progress(line);
    };
    std::optional<std::time_t> when;
    if (AsciiLowerCase(TrimWhitespace(options.until)) != "latest") {
        const auto parsed = ParseInstant(options.until);
        if (!parsed)
            return Failed(report, RestoreFailure::Target, parsed.error() + ", or latest");
        when = *parsed;
    }
    const auto branch = ReachOffsiteBranch(options.branch, options.credentialsFile);
    if (!branch)
        return Failed(report, RestoreFailure::NoArchive, branch.error());
    report.prefix = branch->prefix;
    const auto password = options.restore.passwordFile.empty()
                              ? ConfiguredArchivePassword()
                              : ReadPasswordFile(options.restore.passwordFile);
    if (!password)
        return Failed(report, RestoreFailure::Password, password.error());
    S3Client client(branch->settings.storage);
    say("listing " + branch->prefix + " in " + branch->settings.storage.bucket);
    const auto held = ListBranch(client, *branch, report);
    if (!held)
        return Failed(report, RestoreFailure::NoArchive, held.error());
    const auto candidates = Candidates(*held, when, report.notes);
    if (candidates.empty())
        return Failed(report, RestoreFailure::Target,
                      when ? InstantText(*when) + " is before every archive the repository "
                                                  "holds whole"
                           : std::string("the repository holds no archive whose log it holds"));
    const std::string staging = StagingFolder(branch->prefix);
    const std::string archives = staging + "archives/", copy = staging + "log/";
    // The log fetched goes whichever way the restore ends (it is fetched anew each time).
    struct Cleared {
        std::string folder;
        ~Cleared() {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    } clearLog{copy};
    RestoreOptions restore = options.restore;
    restore.accept = [&](const std::string& database) {
        return OtherBranch(branch->prefix, database);
    };
    std::string damaged; // an archive that did not check out, and the chain it lies in
    std::string damagedChain;
    for (const auto* candidate : candidates) {
        // For the latest, never an archive of another chain than the newest one's: it would
        // end where that chain ended, silently short of the newest.
        if (!when && !damagedChain.empty() && candidate->manifest.snapshot.chain != damagedChain)
            continue;
        // Each try starts clean but for an archive downloaded whole before (a run interrupted
        // and started again goes on from it).
        std::error_code ignored;
        std::filesystem::remove_all(copy, ignored);
        CreateFolderPath(archives);
        CreateFolderPath(copy);
        const auto path = StageArchive(client, *candidate, archives, report, say);
        if (!path) {
            report.notes.push_back(path.error());
            damaged = path.error();
            damagedChain = candidate->manifest.snapshot.chain;
            say(path.error() + ": an older archive of the same log");
            continue;
        }
        if (auto log = StageLog(client, *held, *candidate, copy, *password, report, say); !log)
            return Failed(report, RestoreFailure::Damaged, log.error() + "; nothing was restored");
        report.until = RestoreUntil(*path, options.until, restore,
                                    RestoreSource{archives, copy, /*local=*/false});
        if (report.until.restore.ok || report.until.restore.failure != RestoreFailure::Target ||
            !when)
            break;
        say("the window from " + LocalName(candidate->manifest.archive) + " does not hold " +
            InstantText(*when) + ": an older archive");
    }
    if (!report.until.restore.ok && report.until.restore.error.empty())
        Failed(report, RestoreFailure::Damaged,
               (damaged.empty() ? std::string("no archive of the repository checks out")
                                : damaged + ", and no older archive of its log checks out") +
                   "; nothing was restored");
    else if (report.until.restore.ok && !damaged.empty())
        report.notes.push_back("restored from an older archive than the newest: " + damaged);
    if (report.until.restore.ok) {
        std::error_code ignored;
        std::filesystem::remove_all(staging, ignored);
        WriteProgramLog("restored " + branch->prefix + " from the off-site repository to " +
                        (report.until.reached ? InstantText(report.until.reached)
                                              : std::string("its archive's snapshot")) +
                        " into the database " + report.until.restore.database);
    }
    return report;
}

} // namespace zenta
