#include "BinlogRetention.h"

#include "ArchiveNames.h"
#include "ArchivePassword.h"
#include "BinlogChain.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace zenta {

namespace {

namespace fs = std::filesystem;

// A log file's number from its name or its packed copy's; -1 for anything else.
long NumberOf(std::string name) {
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".7z") == 0)
        name.resize(name.size() - 3);
    return LogFileNumber(name);
}

void Delete(const std::string& path, const std::string& why) {
    std::error_code ec;
    if (fs::remove(path, ec))
        WriteProgramLog("binlog copy: deleted " + path + " (" + why + ")");
    else if (ec)
        WriteProgramLog("binlog copy: " + path + " cannot be deleted: " + ec.message());
}

// Whether the off-site repository lacks some of a chain's copied files.
bool NotAllOffsite(const BinlogChain& chain) {
    for (const auto& f : chain.Files())
        if (chain.RepositorySent(f.name) < f.size)
            return true;
    return false;
}

// The first of a chain's files numbered below `first` that the repository does not hold whole
// (`first` when none): the files from it on are kept until they are sent.
long FirstUnsent(const BinlogChain& chain, long first) {
    for (const auto& f : chain.Files())
        if (f.number < first && chain.RepositorySent(f.name) < f.size) {
            WriteProgramLog("binlog copy: " + f.name +
                            " and the files after it are kept: the "
                            "off-site repository does not hold them yet");
            return f.number;
        }
    return first;
}

// The log files (and packed copies) of a chain's folder, here or on a drive, numbered below
// `first`; their names.
std::vector<std::string> FilesBefore(const std::string& folder, long first,
                                     const std::string& why) {
    std::vector<std::string> names;
    for (const std::string& place :
         {std::string(), std::string(".incoming/"), std::string(".short/")})
        for (const auto& name : DirNames(folder + place + "*")) {
            const long n = NumberOf(name);
            if (n < 0 || n >= first)
                continue;
            Delete(folder + place + name, why);
            if (place.empty() && LogFileNumber(name) >= 0)
                names.push_back(name);
        }
    return names;
}

void DeleteChain(const std::string& path, const std::string& why) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec)
        WriteProgramLog("binlog copy: the chain " + path + " cannot be deleted: " + ec.message());
    else
        WriteProgramLog("binlog copy: deleted the chain " + path + " (" + why + ")");
}

// The drives: the same chains and files as the copy, by name.
void PruneDrives(const std::vector<std::string>& drives, const std::string& earliestChain,
                 const BinlogChain& holder, long first, const std::string& why) {
    for (const auto& drive : drives) {
        const std::string root = DriveBinlogFolder(drive);
        if (!IsFolder(root))
            continue;
        for (const auto& name : BinlogChain::Names(root))
            if (name < earliestChain)
                DeleteChain(root + name + "/", why);
        if (IsFolder(holder.DriveFolder(drive)))
            FilesBefore(holder.DriveFolder(drive), first, why);
    }
}

} // namespace

void PruneBinlogCopy(const std::string& backupFolder, long newest,
                     const std::vector<std::string>& drives, bool untilOffsite) {
    const std::string folder = BinlogFolder(backupFolder);
    if (folder.empty() || !IsFolder(folder) || newest < 1)
        return;
    auto kept = GoodArchivesNewestFirst(backupFolder);
    if (kept.empty())
        return;
    if (kept.size() > static_cast<size_t>(newest))
        kept.resize(static_cast<size_t>(newest));
    const auto password = ConfiguredArchivePassword();
    const auto chains = BinlogChain::All(folder); // oldest first
    auto indexOf = [&](const BinlogChain& c) {
        return static_cast<size_t>(std::find(chains.begin(), chains.end(), c) - chains.begin());
    };
    // Where the oldest kept archive's snapshot lies: nothing is known to be unneeded without it.
    const std::string oldest = kept.back();
    const auto snapshot = SnapshotOfArchive(folder, oldest, password ? *password : std::string());
    if (!snapshot) {
        WriteProgramLog("binlog copy: nothing of the copy deleted: " + snapshot.error());
        return;
    }
    const auto holder = ChainOfSnapshot(folder, *snapshot);
    if (!holder || indexOf(*holder) >= chains.size()) {
        WriteProgramLog("binlog copy: nothing of the copy deleted: the snapshot of " + oldest +
                        " (" + snapshot->file + ") lies in no chain of " + folder);
        return;
    }
    // The earliest chain any kept archive's snapshot lies in: no chain before it is needed.
    size_t earliest = indexOf(*holder);
    for (const auto& archive : kept) {
        const auto s = SnapshotOfArchive(folder, archive, password ? *password : std::string());
        if (!s)
            continue; // made without a binary log: it needs none
        if (const auto c = ChainOfSnapshot(folder, *s))
            earliest = std::min(earliest, indexOf(*c));
    }
    const std::string why = "older than the snapshot of " + oldest +
                            ", the oldest of the archives kept by MaxBackupFile";
    for (size_t i = 0; i < earliest && i < chains.size(); ++i) {
        if (untilOffsite && NotAllOffsite(chains[i])) {
            WriteProgramLog("binlog copy: the chain " + chains[i].path() +
                            " is kept: the "
                            "off-site repository does not hold all of it yet");
            continue;
        }
        DeleteChain(chains[i].path(), why);
    }
    const long first = untilOffsite ? FirstUnsent(*holder, LogFileNumber(snapshot->file))
                                    : LogFileNumber(snapshot->file);
    const auto gone = FilesBefore(holder->path(), first, why);
    if (!gone.empty() && !holder->RemoveRecords(gone))
        WriteProgramLog("binlog copy: the records of deleted files stay in " + holder->path() +
                        "files.ini (it cannot be written)");
    PruneDrives(drives, chains[earliest].name(), *holder, first, why);
}

} // namespace zenta
