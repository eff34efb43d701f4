#include "PointInTime.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "AutoBackupData.h"
#include "BinlogCopyRecord.h"
#include "BinlogReplay.h"
#include "BinlogServer.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "LiveSwap.h"
#include "LocalTime.h"
#include "Process.h"
#include "SingleInstance.h"
#include "Text.h"

#include <algorithm>
#include <map>
#include <optional>

namespace zenta {

namespace {

std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// An archive, where its snapshot lies, and the window from it.
struct Located {
    std::string archive;
    SnapshotRecord snapshot;
    std::optional<BinlogChain> chain;
    Stretch stretch;
    RestoreWindow window;
    std::string problem; // why it cannot be brought forward ("" when it can)
};

// The end of the window from a snapshot: the last transaction its stretch holds after it, or
// (the copy streaming into it and current) the moment the copy last held everything.
void WindowEnd(const Located& l, RestoreWindow& w, std::time_t now, bool local) {
    w.to = w.from;
    for (size_t i = l.stretch.facts.size(); i-- > 0;) {
        const BinlogFileFacts& f = l.stretch.facts[i];
        if (f.lastCommitted > 0 && (i > 0 || f.committedEnd > l.snapshot.position)) {
            w.to = std::max(w.from, f.lastCommitted);
            break;
        }
    }
    if (!local)
        return;
    const BinlogCopyOutcome copy = BinlogCopyOutcome::Read();
    // The record of a monitor that stopped less than a minute ago still says "streaming"; with no
    // monitor running nothing streams, and the window ends at the last transaction copied.
    FileLock monitor(Globals::AppPath + Globals::ExecutableName + ".lock");
    const bool monitorStopped = monitor.TryLock();
    monitor.Unlock();
    const auto files = l.chain->Files();
    const bool reachesChainEnd = !files.empty() && !l.stretch.files.empty() &&
                                 l.stretch.files.back().name == files.back().name;
    if (w.gapAfter.empty() && reachesChainEnd && !monitorStopped && copy.Streaming(now) &&
        copy.chain == l.chain->name()) {
        w.to = std::max<std::time_t>(w.to, static_cast<std::time_t>(StampSeconds(copy.currentAt)));
        w.reachesNow = true;
    }
}

// Where an archive's snapshot lies and how far the copy brings it; with `password` null only
// the snapshots recorded beside the copy are read (no archive is unpacked).
Located Locate(const std::string& folder, const std::string& archive, const std::string* password,
               bool local) {
    Located l;
    l.archive = archive;
    auto snapshot =
        password ? SnapshotOfArchive(folder, archive, *password) : [&]() -> Result<SnapshotRecord> {
        if (auto recorded = RecordedSnapshot(folder, NameOf(archive)))
            return *recorded;
        return Result<SnapshotRecord>::Failure(archive + ": no snapshot recorded beside the copy");
    }();
    if (!snapshot) {
        l.problem = snapshot.error();
        return l;
    }
    l.snapshot = *snapshot;
    l.chain = ChainOfSnapshot(folder, l.snapshot);
    const auto stretch = l.chain ? StretchFrom(*l.chain, l.snapshot.file) : std::nullopt;
    if (!stretch) {
        l.problem = archive + ": its snapshot (" + l.snapshot.file + " at " +
                    std::to_string(l.snapshot.position) + ") lies in no chain of the copy in " +
                    folder;
        return l;
    }
    l.stretch = *stretch;
    if (l.stretch.facts.front().wholeEnd < l.snapshot.position) {
        l.problem =
            archive + ": the copy of " + l.snapshot.file + " ends before the archive's snapshot";
        return l;
    }
    RestoreWindow& w = l.window;
    w.chain = l.chain->name();
    w.archive = NameOf(archive);
    w.from = SnapshotTime(l.snapshot);
    w.gapAfter = l.stretch.gapAfter;
    w.why = l.stretch.why;
    WindowEnd(l, w, std::time(nullptr), local);
    return l;
}

std::string WindowsText(const std::vector<RestoreWindow>& windows) {
    std::string text;
    for (const auto& w : windows)
        text += "\n  " + WindowText(w);
    return text.empty() ? "\n  nothing (no archive whose snapshot the copy holds)" : text;
}

// The last of `ends` committed by `when` (every one when there is no time), and how many that
// is.
const TransactionEnd* LastEndBy(const std::vector<TransactionEnd>& ends,
                                std::optional<std::time_t> when, long long& count) {
    const TransactionEnd* last = nullptr;
    count = 0;
    for (const auto& end : ends) {
        if (when && end.committed > *when)
            break;
        last = &end;
        ++count;
    }
    return last;
}

// The database brought forward replaces the live one (which is backed up and kept aside);
// its own database goes either way. Where the live tables went.
Result<std::string> MoveIntoLive(const std::string& database,
                                 const std::vector<TableFigures>& restored,
                                 const std::function<void(const std::string&)>& say) {
    std::vector<std::string> tables;
    for (const auto& t : restored)
        tables.push_back(t.table);
    auto saved = ReplaceLiveDatabase(DataBase(), database, tables, say);
    DataBase().SQLExecute("DROP DATABASE IF EXISTS `" + database + "`;");
    return saved;
}

// Which archive and window a restore to `when` (nothing: the latest) goes from; why none.
Result<Located> ChooseArchive(const RestoreSource& source, const std::string& given,
                              std::optional<std::time_t> when, const std::string& password,
                              const std::vector<RestoreWindow>& windows) {
    using Chosen = Result<Located>;
    const std::string& folder = source.copyFolder;
    const auto candidates = given.empty() ? GoodArchivesNewestFirst(source.backupFolder)
                                          : std::vector<std::string>{given};
    if (candidates.empty())
        return Chosen::Failure("there is no good archive in " + source.backupFolder);
    const std::string asked = when ? InstantText(*when) : std::string("the latest");
    std::string notes;
    for (const auto& archive : candidates) {
        Located l = Locate(folder, archive, &password, source.local);
        if (!l.problem.empty()) {
            if (!when || !given.empty())
                return Chosen::Failure(l.problem +
                                       "; what can be restored:" + WindowsText(windows));
            notes += "\n  " + l.problem;
            continue;
        }
        const RestoreWindow& w = l.window;
        if (!when) {
            // Beyond a gap nothing is known: never a silent hole in what is restored.
            if (!w.gapAfter.empty())
                return Chosen::Failure(
                    "the window from " + w.archive + " ends at a gap after " + w.gapAfter + " (" +
                    w.why + "): the latest cannot be reached; --until \"" + InstantText(w.to) +
                    "\" restores everything before the gap; what can be restored:" +
                    WindowsText(windows));
            return l;
        }
        if (*when < w.from)
            continue; // made after the time: an older archive may reach it
        if (*when <= w.to)
            return l;
    }
    return Chosen::Failure(
        asked + " cannot be restored; what can be restored:" + WindowsText(windows) + notes);
}

} // namespace

std::string WindowText(const RestoreWindow& w) {
    return "from " + InstantText(w.from) + " (" + w.archive + ") to " +
           (w.reachesNow ? "now, " : std::string()) + InstantText(w.to) + " in " + w.chain +
           (w.gapAfter.empty() ? std::string() : ", then a GAP after " + w.gapAfter + ": " + w.why);
}

std::vector<RestoreWindow> RestoreWindows(const std::string& backupFolder) {
    return RestoreWindows(RestoreSource{backupFolder, BinlogFolder(backupFolder), true});
}

std::vector<RestoreWindow> RestoreWindows(const RestoreSource& source) {
    std::vector<RestoreWindow> windows;
    const std::string& folder = source.copyFolder;
    if (folder.empty())
        return windows;
    auto archives = GoodArchivesNewestFirst(source.backupFolder);
    std::reverse(archives.begin(), archives.end());
    std::map<std::string, size_t> byEnd; // one window per stretch of a chain
    for (const auto& archive : archives) {
        const Located l = Locate(folder, archive, nullptr, source.local);
        if (!l.problem.empty())
            continue;
        const std::string key = l.window.chain + "/" + l.stretch.files.back().name;
        const auto it = byEnd.find(key);
        if (it == byEnd.end()) {
            byEnd[key] = windows.size();
            windows.push_back(l.window);
        } else {
            RestoreWindow& w = windows[it->second];
            w.to = std::max(w.to, l.window.to);
            w.reachesNow = w.reachesNow || l.window.reachesNow;
        }
    }
    return windows;
}

ChainCheck CheckChainFrom(const std::string& archive, const std::string& passwordFile) {
    auto says = [](bool fault, const std::string& text) { return ChainCheck{fault, text}; };
    const std::string folder = BinlogFolder(BackupFolder());
    if (folder.empty() || BinlogChain::All(folder).empty())
        return says(false, "none is copied here (the monitor copies it while it runs)");
    const auto password =
        passwordFile.empty() ? ConfiguredArchivePassword() : ReadPasswordFile(passwordFile);
    if (!password)
        return says(false, password.error());
    const Located l = Locate(folder, archive, &*password, true);
    if (!l.problem.empty())
        return says(false, "not usable from this archive: " + l.problem);
    std::vector<std::string> paths;
    for (size_t i = 0; i < l.stretch.files.size(); ++i) {
        const ChainFile& f = l.stretch.files[i];
        paths.push_back(f.path);
        if (l.stretch.facts[i].stop == BinlogReader::Stop::Damaged &&
            i + 1 < l.stretch.files.size())
            return says(true, "DAMAGED: " + f.path + ": " + l.stretch.facts[i].problem);
        const int status = RunProgramAndWait(
            BinlogProgram(), {"--verify-binlog-checksum", "--result-file=/dev/null", f.path}, "",
            "", std::chrono::seconds(600));
        if (status == -1 || status == kTimedOut || status == kStoppedByRequest)
            return says(false, "could not be checked: " + BinlogProgram() + " " +
                                   (status == kTimedOut ? "gave no answer in 600 s"
                                    : status == kStoppedByRequest
                                        ? "was stopped"
                                        : "did not run: " + ProgramStartError()));
        if (status != 0)
            return says(true, "DAMAGED: " + f.path + " fails its checksum check");
    }
    const auto ends = ReadTransactionEnds(paths, l.snapshot.position);
    if (!ends)
        return says(true, "DAMAGED: " + ends.error());
    const std::string reach =
        ends->empty() ? std::string("no transaction after the archive")
                      : "the last transaction committed " + InstantText(ends->back().committed);
    if (!l.stretch.gapAfter.empty())
        return says(true, "a GAP after " + l.stretch.gapAfter + " (" + l.stretch.why + "; " +
                              reach + " before it)");
    return says(false, std::to_string(paths.size()) + " files from " + l.snapshot.file + " in " +
                           l.chain->name() + ", each continuing the one before, checksums good; " +
                           std::to_string(ends->size()) + " transactions, " + reach);
}

namespace {

UntilReport& Failed(UntilReport& report, RestoreFailure kind, const std::string& why) {
    report.restore.ok = false;
    report.restore.failure = kind;
    report.restore.error = why;
    return report;
}

// "latest", or the instant asked for.
Result<std::optional<std::time_t>> UntilWhen(const std::string& until) {
    using When = Result<std::optional<std::time_t>>;
    if (AsciiLowerCase(TrimWhitespace(until)) == "latest")
        return std::optional<std::time_t>();
    const auto parsed = ParseInstant(until);
    if (!parsed)
        return When::Failure(
            parsed.error() +
            (parsed.error().find("is no time") != std::string::npos ? ", or latest" : ""));
    return std::optional<std::time_t>(*parsed);
}

// The chosen archive restored and brought forward to `stop` (none: its snapshot), into the
// target or, with intoLive, into a database of its own that then replaces the live one.
UntilReport& BringForward(const Located& chosen, const std::vector<std::string>& paths,
                          const TransactionEnd* stop, long long replayed,
                          const RestoreOptions& options, UntilReport& report) {
    auto say = [&](const std::string& line) {
        if (options.progress)
            options.progress(line);
    };
    // Into the live database: restored and brought forward in a database of its own first,
    // so that the live one is replaced only by a whole result.
    RestoreOptions into = options;
    if (options.intoLive) {
        into.intoLive = false;
        into.database = "zentasupermarket_until_" + ArchiveStamp(DateTime::Now());
    }
    say("restoring " + chosen.archive);
    report.restore = RestoreArchive(chosen.archive, into);
    if (!report.restore.ok)
        return report;
    report.archive = chosen.archive;
    const std::string target = report.restore.database;
    if (!stop) {
        say("no transaction to replay after the archive's snapshot");
    } else {
        say("replaying " + std::to_string(replayed) + " transactions from " +
            std::to_string(stop->file + 1) + " log files, up to " + InstantText(stop->committed));
        const std::vector<std::string> files(paths.begin(), paths.begin() + stop->file + 1);
        if (const auto replay = ReplayBinlog(files, chosen.snapshot.position, stop->position,
                                             replayed, target, say);
            !replay) {
            DataBase().SQLExecute("DROP DATABASE IF EXISTS `" + target + "`;");
            return Failed(report, RestoreFailure::Server,
                          "the log could not be replayed onto the archive (" + replay.error() +
                              "); nothing was left behind");
        }
        report.reached = stop->committed;
        report.transactions = replayed;
    }
    if (options.accept)
        if (const std::string why = options.accept(target); !why.empty()) {
            DataBase().SQLExecute("DROP DATABASE IF EXISTS `" + target + "`;");
            return Failed(report, RestoreFailure::Foreign, why + "; nothing was left behind");
        }
    if (options.intoLive) {
        const auto saved = MoveIntoLive(target, report.restore.tables, say);
        if (!saved)
            return Failed(report, RestoreFailure::Server, saved.error());
        report.restore.savedLive = *saved;
        report.restore.database = clsDataBase::kDefaultDatabase;
    }
    return report;
}

} // namespace

UntilReport RestoreUntil(const std::string& given, const std::string& until,
                         const RestoreOptions& options, const RestoreSource& asked) {
    UntilReport report;
    const auto when = UntilWhen(until);
    if (!when)
        return Failed(report, RestoreFailure::Target, when.error());
    RestoreSource source = asked;
    if (source.backupFolder.empty())
        source.backupFolder = BackupFolder();
    if (source.copyFolder.empty())
        source.copyFolder = BinlogFolder(source.backupFolder);
    const std::string& folder = source.copyFolder;
    if (folder.empty())
        return Failed(report, RestoreFailure::Target,
                      "the copy of the binary log is off ([Monitor] BinlogFolder): there is "
                      "nothing to bring an archive forward with");
    const auto password = options.passwordFile.empty() ? ConfiguredArchivePassword()
                                                       : ReadPasswordFile(options.passwordFile);
    if (!password)
        return Failed(report, RestoreFailure::Password, password.error());
    const auto windows = RestoreWindows(source);
    const auto chosen = ChooseArchive(source, given, *when, *password, windows);
    if (!chosen)
        return Failed(report, RestoreFailure::Target, chosen.error());
    report.window = chosen->window;
    for (const auto& w : windows)
        if (w.chain != report.window.chain)
            report.others.push_back(w);
    std::vector<std::string> paths;
    for (const auto& f : chosen->stretch.files)
        paths.push_back(f.path);
    const auto ends = ReadTransactionEnds(paths, chosen->snapshot.position);
    if (!ends)
        return Failed(report, RestoreFailure::Damaged, ends.error());
    // The last transaction committed at or before the time; never one cut in two.
    long long replayed = 0;
    const TransactionEnd* stop = LastEndBy(*ends, *when, replayed);
    if (BringForward(*chosen, paths, stop, replayed, options, report).restore.ok)
        WriteProgramLog("restored " + chosen->archive + " and replayed the log of " +
                        report.window.chain + " to " +
                        (stop ? InstantText(stop->committed) : std::string("its snapshot")) +
                        " into the database " + report.restore.database);
    return report;
}

} // namespace zenta
