#include "OffsiteCare.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "BinlogChain.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "LocalTime.h"
#include "Retention.h"
#include "Settings.h"
#include "Text.h"
#include "Verification.h"
#include "clsDataBase.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace zenta {

namespace {

std::string WeekOf(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return IsoWeekText(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

std::string MonthOf(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d", tm.tm_year + 1900, tm.tm_mon + 1);
    return text;
}

// The calendar months of the last `count` months, this one first.
std::set<std::string> LastMonths(std::time_t now, long count) {
    std::set<std::string> months;
    std::tm tm{};
    localtime_r(&now, &tm);
    int year = tm.tm_year + 1900, month = tm.tm_mon + 1;
    for (long i = 0; i < count; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d", year, month);
        months.insert(text);
        if (--month == 0) {
            month = 12;
            --year;
        }
    }
    return months;
}

std::string Plural(long n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

PrunePlan PlanPrune(const repository::HeldBranch& branch, const PruneOptions& options) {
    PrunePlan plan;
    const std::time_t now = options.now ? options.now : std::time(nullptr);
    std::set<std::string> weeks, months = LastMonths(now, options.monthly);
    for (long i = 0; i < options.weekly; ++i)
        weeks.insert(WeekOf(now - static_cast<std::time_t>(i) * 7 * 86400));
    // Newest first: the first of a week or month met is its newest.
    std::vector<const repository::HeldArchive*> archives;
    for (auto it = branch.archives.rbegin(); it != branch.archives.rend(); ++it)
        archives.push_back(&*it);
    std::set<std::string> weekTaken, monthTaken;
    std::set<std::string> keptNames;
    std::map<std::string, long> keepFrom; // chain: the first file a kept archive needs
    std::string oldestKeptChain;
    for (size_t i = 0; i < archives.size(); ++i) {
        const auto& a = *archives[i];
        std::vector<std::string> why;
        if (i == 0)
            why.push_back("the branch's newest");
        if (a.taken >= now - static_cast<std::time_t>(options.days) * 86400)
            why.push_back("of the last " + Plural(options.days, "day", "days"));
        const std::string week = WeekOf(a.taken), month = MonthOf(a.taken);
        if (weeks.count(week) && weekTaken.insert(week).second)
            why.push_back("newest of week " + week);
        if (months.count(month) && monthTaken.insert(month).second)
            why.push_back("newest of month " + month);
        if (why.empty()) {
            plan.goneArchives.push_back(a.manifest.archive + " (" + InstantText(a.taken) + ")");
            continue;
        }
        std::string text;
        for (const auto& w : why)
            text += (text.empty() ? "" : ", ") + w;
        plan.keptArchives.push_back(a.manifest.archive + ": " + text);
        keptNames.insert(a.manifestObject.key);
        if (a.archive)
            keptNames.insert(a.archive->key);
        const std::string& chain = a.manifest.snapshot.chain;
        const long first = LogFileNumber(a.manifest.snapshot.file);
        auto [it, fresh] = keepFrom.emplace(chain, first);
        if (!fresh)
            it->second = std::min(it->second, first);
        if (oldestKeptChain.empty() || chain < oldestKeptChain)
            oldestKeptChain = chain;
    }
    // Whether a name of the log is one a kept window needs.
    auto logKept = [&](const std::string& key) {
        const std::string log = branch.prefix + "/log/";
        const std::string rest = key.substr(log.size());
        const std::string chain = rest.substr(0, rest.find('/'));
        if (keepFrom.empty())
            return true; // no archive at all: the log is all there is
        const auto from = keepFrom.find(chain);
        if (from == keepFrom.end())
            return chain > oldestKeptChain; // a later chain (a new primary's before its first
                                            // archive): kept whole
        const auto s = repository::ParseSegmentKey(branch.prefix, key);
        return !s || LogFileNumber(s->file) >= from->second;
    };
    std::set<std::string> goneNames;
    for (const auto& v : branch.versions) {
        const bool isLog = v.key.rfind(branch.prefix + "/log/", 0) == 0;
        const bool isArchive = v.key.rfind(branch.prefix + "/archives/", 0) == 0;
        if (!isLog && !isArchive)
            continue; // not a name the shop writes: a person decides
        const bool kept = isLog ? logKept(v.key) : keptNames.count(v.key) > 0;
        if (kept)
            continue;
        plan.gone.push_back(v);
        if (!v.deleteMarker)
            plan.goneBytes += v.size;
        if (isLog && goneNames.insert(v.key).second &&
            repository::ParseSegmentKey(branch.prefix, v.key))
            ++plan.goneSegments;
    }
    return plan;
}

namespace {

// One branch pruned; its line.
std::string PruneBranch(S3Client& client, const std::string& prefix, const PruneOptions& options,
                        const SayLine& say, PruneReport& report) {
    const auto held = repository::ReadBranch(client, prefix);
    if (!held)
        return prefix + ": cannot be read: " + held.error();
    const PrunePlan plan = PlanPrune(*held, options);
    for (const auto& a : plan.goneArchives)
        say("  " + prefix + ": " + (options.dryRun ? "would remove " : "removes ") + a);
    if (options.dryRun)
        return prefix + ": keeps " +
               Plural(static_cast<long>(plan.keptArchives.size()), "archive", "archives") +
               ", would remove " +
               Plural(static_cast<long>(plan.goneArchives.size()), "archive", "archives") +
               " and " + Plural(plan.goneSegments, "segment", "segments") + " of the log (" +
               Megabytes(plan.goneBytes) + ")";
    long removed = 0, locked = 0;
    std::string lockedUntil;
    for (const auto& v : plan.gone) {
        const S3Answer a = client.Delete(v.key, v.versionId);
        if (a.Ok()) {
            ++removed;
            continue;
        }
        if (a.status == 403) {
            const S3Answer head = client.Head(v.key, v.versionId);
            const std::string until = head.Header("x-amz-object-lock-retain-until-date");
            if (!until.empty()) {
                ++locked;
                lockedUntil = std::max(lockedUntil, until);
                continue;
            }
            report.refused = true;
            return prefix + ": the storage refuses this key's removals (" + client.Why(a) +
                   "): pruning needs head office's key, never a shop's; nothing more removed (" +
                   Plural(removed, "version", "versions") + " before)";
        }
        return prefix + ": stopped: " + client.Why(a) + " (" +
               Plural(removed, "version", "versions") + " removed before)";
    }
    return prefix + ": keeps " +
           Plural(static_cast<long>(plan.keptArchives.size()), "archive", "archives") +
           ", removed " +
           Plural(static_cast<long>(plan.goneArchives.size()), "archive", "archives") + " and " +
           Plural(plan.goneSegments, "segment", "segments") + " of the log (" +
           Plural(removed, "version", "versions") + ")" +
           (locked ? "; " + Plural(locked, "version", "versions") +
                         " left under the storage's lock (retention until " + lockedUntil +
                         "): removed by a later pruning"
                   : std::string());
}

} // namespace

PruneReport PruneRepository(const PruneOptions& options, const SayLine& say) {
    PruneReport report;
    auto settings = ReadOffsiteStorage(options.credentialsFile);
    if (!settings) {
        report.error = settings.error();
        return report;
    }
    S3Client client(settings->storage);
    std::vector<std::string> branches;
    std::string one = options.branch;
    while (!one.empty() && one.back() == '/')
        one.pop_back();
    if (!one.empty()) {
        branches.push_back(one);
    } else {
        const auto all = repository::BranchesIn(client);
        if (!all) {
            report.error = "the bucket cannot be listed: " + all.error();
            return report;
        }
        branches = *all;
    }
    if (branches.empty())
        say("the bucket " + settings->storage.bucket + " holds no branch");
    for (const auto& b : branches) {
        say(PruneBranch(client, b, options, say, report));
        if (report.refused)
            break;
    }
    return report;
}

namespace {

// One chain fetched from its first file held to its last, every segment checked and joined;
// whether it is whole, and what was found in `lines`.
bool CheckChain(S3Client& client, const repository::HeldBranch& held,
                const repository::HeldChain& chain, const std::string& folder,
                const std::string& password, const SayLine& progress,
                std::vector<std::string>& lines) {
    const std::string& name = chain.name;
    if (progress)
        progress("checking the log of " + name);
    const long first = chain.files.begin()->first, last = chain.files.rbegin()->first;
    const auto log = repository::FetchChain(client, held, name, chain.files.begin()->second.name,
                                            folder, password, progress);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    if (!log) {
        lines.push_back("DAMAGED: the log of " + name + ": " + log.error());
        return false;
    }
    int segments = 0;
    for (const auto& f : log->files)
        segments += f.segments;
    const bool reachesLast = !log->files.empty() && LogFileNumber(log->files.back().name) == last;
    for (const auto& n : log->notes)
        lines.push_back("NOT WHOLE: " + name + ": " + n);
    if (!reachesLast || !log->notes.empty()) {
        lines.push_back("NOT WHOLE: the log of " + name + " joins from " +
                        chain.files.begin()->second.name + " only to " + log->endsAt +
                        " (the repository holds files to number " + std::to_string(last) + ")");
        return false;
    }
    lines.push_back("good: the log of " + name + ", " + std::to_string(log->files.size()) +
                    " files from number " + std::to_string(first) + ", " +
                    std::to_string(segments) +
                    " segments joining, every event's checksum good, to " + log->endsAt);
    return true;
}

} // namespace

CheckReport CheckRepository(const OffsiteBranch& branch, const std::string& passwordFile,
                            const SayLine& progress) {
    CheckReport report;
    const auto password =
        passwordFile.empty() ? ConfiguredArchivePassword() : ReadPasswordFile(passwordFile);
    if (!password) {
        report.error = password.error();
        return report;
    }
    S3Client client(branch.settings.storage);
    const auto held = repository::ReadBranch(client, branch.prefix);
    if (!held) {
        report.error = "the repository cannot be read: " + held.error();
        return report;
    }
    bool whole = true;
    const std::string temp = Globals::AppPath + "Temp/offsite-check/";
    std::error_code ignored;
    std::filesystem::remove_all(temp, ignored);
    CreateFolderPath(temp);
    for (const auto& a : held->archives) {
        if (progress)
            progress("checking " + a.manifest.archive);
        const auto fetched = repository::FetchArchive(client, a, temp + "archive");
        std::remove((temp + "archive").c_str());
        if (!fetched) {
            whole = false;
            report.lines.push_back("DAMAGED: " + fetched.error());
        } else {
            report.lines.push_back("good: " + a.manifest.archive + " (" +
                                   Megabytes(a.manifest.size) + "), as its manifest records");
        }
    }
    for (const auto& [name, chain] : held->chains)
        if (!chain.files.empty())
            whole = CheckChain(client, *held, chain, temp + "log/", *password, progress,
                               report.lines) &&
                    whole;
    std::filesystem::remove_all(temp, ignored);
    const auto windows = repository::WindowsByName(client, *held);
    const repository::NamedWindow* newest = nullptr;
    for (const auto& w : windows)
        if (w.problem.empty() && (!newest || w.to > newest->to))
            newest = &w;
    if (!newest) {
        whole = false;
        report.lines.push_back("NO WINDOW: nothing of " + branch.prefix + " can be restored");
    } else {
        report.lines.push_back("the newest window: " + repository::NamedWindowText(*newest));
    }
    for (const auto& n : held->notes)
        report.lines.push_back("left aside: " + n);
    report.lines.push_back(branch.prefix + (whole ? ": whole" : ": NOT WHOLE"));
    report.whole = whole;
    return report;
}

namespace {

// This branch's lines of the repository's metrics file replaced by `lines`; the other branches'
// kept.
void RecordRestoreTest(const std::string& prefix, bool good) {
    std::string folder = TrimSpaces(GetSetting("Monitor", "MetricsFolder", ""));
    if (folder.empty())
        return;
    if (folder.back() != '/')
        folder += '/';
    const std::string path = folder + "zentamarket_repository.prom";
    const std::string label = "{branch=\"" + prefix + "\"}";
    std::string kept;
    const std::string old = ReadWholeFile(path).value_or("");
    size_t at = 0;
    while (at < old.size()) {
        const size_t end = old.find('\n', at);
        const std::string line = old.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? old.size() : end + 1;
        if (line.empty() || line[0] == '#' || line.find(label) != std::string::npos)
            continue;
        kept += line + "\n";
    }
    const std::string text =
        "# HELP zentamarket_repository_restore_test_timestamp_seconds When the branch's newest "
        "window was last restored from the off-site repository as a test.\n"
        "# TYPE zentamarket_repository_restore_test_timestamp_seconds gauge\n"
        "# HELP zentamarket_repository_restore_test_good Whether that restore was good (1) or "
        "not (0).\n"
        "# TYPE zentamarket_repository_restore_test_good gauge\n" +
        kept + "zentamarket_repository_restore_test_timestamp_seconds" + label + " " +
        std::to_string(static_cast<long long>(std::time(nullptr))) + "\n" +
        "zentamarket_repository_restore_test_good" + label + " " + (good ? "1" : "0") + "\n";
    if (auto written = ReplaceFileWhole(path, text, 0644); !written)
        WriteProgramLog("the restore test's figures cannot be written: " + written.error());
}

} // namespace

RestoreTestReport RestoreTestRepository(const OffsiteBranch& branch,
                                        const std::string& passwordFile, const SayLine& progress) {
    RestoreTestReport report;
    auto done = [&](bool good, const std::string& line) {
        report.good = good;
        report.lines.push_back(branch.prefix + ": restore test " + (good ? "good: " : "FAILED: ") +
                               line);
        RecordRestoreTest(branch.prefix, good);
        return report;
    };
    S3Client client(branch.settings.storage);
    const auto held = repository::ReadBranch(client, branch.prefix);
    if (!held)
        return done(false, "the repository cannot be read: " + held.error());
    if (held->archives.empty())
        return done(false, "the repository holds no archive");
    // The newest archive as it was made.
    const repository::HeldArchive& newest = held->archives.back();
    const std::string temp = Globals::AppPath + "Temp/offsite-restore-test/";
    std::error_code ignored;
    std::filesystem::remove_all(temp, ignored);
    CreateFolderPath(temp);
    const std::string path =
        temp + newest.manifest.archive.substr(0, newest.manifest.archive.find('~'));
    if (auto fetched = repository::FetchArchive(client, newest, path); !fetched) {
        std::filesystem::remove_all(temp, ignored);
        return done(false, fetched.error());
    }
    const VerifyReport verified = VerifyArchive(path, progress, passwordFile);
    std::filesystem::remove_all(temp, ignored);
    if (!verified.ok) {
        std::string differs = verified.error;
        for (const auto& [expected, found] : verified.tables)
            if (!expected.Matches(found))
                differs += (differs.empty() ? "" : "; ") + expected.table + " differs";
        return done(false,
                    newest.manifest.archive + " does not restore as it was made (" + differs + ")");
    }
    // Its window, the whole log replayed.
    OffsiteRestoreOptions o;
    o.branch = branch.prefix;
    o.until = "latest";
    o.restore.database = "zentasupermarket_offsite_test_" + ArchiveStamp(DateTime::Now());
    o.restore.passwordFile = passwordFile;
    o.restore.progress = progress;
    const OffsiteRestoreReport restored = RestoreFromOffsite(o);
    DataBase().SQLExecute("DROP DATABASE IF EXISTS `" + o.restore.database + "`;");
    if (!restored.until.restore.ok)
        return done(false, "the newest window does not restore: " + restored.until.restore.error);
    return done(true, newest.manifest.archive + ": " + std::to_string(verified.tables.size()) +
                          " tables as recorded; its window restored to " +
                          (restored.until.reached ? InstantText(restored.until.reached)
                                                  : std::string("its snapshot")) +
                          " with " + std::to_string(restored.until.transactions) +
                          " transactions replayed");
}

} // namespace zenta
