#include "BinlogFinish.h"

#include "ArchivePassword.h"
#include "BinlogChain.h"
#include "BinlogServer.h"
#include "Common.h"
#include "ErrorMode.h"
#include "FileCopies.h"
#include "FolderListing.h"
#include "LocalTime.h"
#include "PostBackupCommand.h"
#include "Process.h"
#include "RemovableDrives.h"
#include "Settings.h"
#include "SevenZip.h"
#include "Text.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <set>

namespace zenta {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWorkPerLook = std::chrono::seconds(5);

// When a step last failed for a file, so that it is tried again only now and then.
std::map<std::string, Clock::time_point>& Failures() {
    static std::map<std::string, Clock::time_point> failures;
    return failures;
}
// A drive is tried again after a minute (it may have been pulled and plugged in again), the
// rest every BinlogSealMinutes.
bool TriedLately(const std::string& what) {
    const auto it = Failures().find(what);
    const auto pause =
        what.rfind("drive ", 0) == 0
            ? std::chrono::minutes(1)
            : std::chrono::minutes(GetSettingNumber("Monitor", "BinlogSealMinutes", 5, 1));
    return it != Failures().end() && Clock::now() - it->second < pause;
}
void Failed(const std::string& what) {
    Failures()[what] = Clock::now();
}

// Checked: the program's own reader (every event whole, its CRC32 good), then MariaDB's.
bool Check(const BinlogChain& chain, const ChainFile& file) {
    const BinlogFileFacts facts = chain.Facts(file);
    BinlogChain::Figures values;
    if (facts.firstEvent)
        values.push_back({"FirstEvent", LocalStampText(facts.firstEvent)});
    if (facts.lastEvent)
        values.push_back({"LastEvent", LocalStampText(facts.lastEvent)});
    values.push_back({"Size", std::to_string(file.size)});
    if (!facts.binaryLog || facts.stop == BinlogReader::Stop::Damaged) {
        WriteProgramLog("binlog copy: " + file.path + " FAILED its check (" + facts.problem +
                        "); it is kept but not sent anywhere");
        chain.MarkFailed(file.name, BinlogChain::Step::Checked, facts.problem, values);
        return false;
    }
    const LowPriorityPrograms low(HelpersRunLow());
    const int status = RunProgramAndWait(
        BinlogProgram(), {"--verify-binlog-checksum", "--result-file=/dev/null", file.path}, "", "",
        std::chrono::seconds(300));
    if (status == -1 || status == kTimedOut || status == kStoppedByRequest) {
        // Not a verdict on the file: tried again later.
        WriteProgramLog("binlog copy: " + file.name + " could not be checked (" +
                        (status == kTimedOut ? std::string("no answer in 300 s")
                         : status == kStoppedByRequest
                             ? std::string("stopped")
                             : BinlogProgram() + ": " + ProgramStartError()) +
                        "); tried again later");
        Failed("check " + file.path);
        return false;
    }
    if (status == 0)
        chain.MarkDone(file.name, BinlogChain::Step::Checked, "", values);
    else
        chain.MarkFailed(file.name, BinlogChain::Step::Checked, "", values);
    if (status != 0)
        WriteProgramLog("binlog copy: " + file.path + " FAILED " + BinlogProgram() +
                        "'s checksum check; it is kept but not sent anywhere");
    return status == 0;
}

bool Pack(const BinlogChain& chain, const ChainFile& file) {
    const std::string packed = file.path + ".7z";
    const auto password = ConfiguredArchivePassword();
    std::string why;
    if (!password) {
        why = password.error();
    } else {
        const auto outcome =
            RunSevenZip({"a", "-t7z", "-mx=5", "-y", packed + ".partial", file.path}, *password);
        if (outcome.status != 0)
            why = "7-Zip status " + std::to_string(outcome.status);
        else if (SevenZipTest(packed + ".partial", *password) != 0 ||
                 !IsWhole7zArchive(packed + ".partial"))
            why = "the packed file fails its test";
        else if (std::rename((packed + ".partial").c_str(), packed.c_str()) != 0)
            why = "it cannot be given its name " + packed;
    }
    if (!why.empty()) {
        std::remove((packed + ".partial").c_str());
        WriteProgramLog("binlog copy: " + file.name + " could not be packed (" + why +
                        "); tried again later");
        chain.MarkFailed(file.name, BinlogChain::Step::Packed, why);
        Failed("pack " + file.path);
        return false;
    }
    chain.MarkDone(file.name, BinlogChain::Step::Packed, packed);
    return true;
}

// Onto each drive that lacks it whole; what an interrupted copy left there goes first.
void OntoDrives(const BinlogChain& chain, const ChainFile& file,
                const std::vector<std::string>& mounts, std::set<std::string>& cleaned) {
    const std::string packed = file.path + ".7z";
    for (const auto& mount : mounts) {
        const std::string folder = chain.DriveFolder(mount);
        const std::string target = folder + file.name + ".7z";
        const long long size = FileLength(packed);
        if (FileLength(target) == size &&
            (chain.StepOf(file.name, BinlogChain::Step::Drive).what == target ||
             IsWhole7zArchive(target)))
            continue;
        if (TriedLately("drive " + target))
            continue;
        if (!CreateFolderPath(folder)) {
            WriteProgramLog("binlog copy: the folder " + folder + " cannot be made on the drive");
            Failed("drive " + target);
            continue;
        }
        if (cleaned.insert(folder).second)
            for (const auto& left : DirNames(folder + "*.partial"))
                if (std::remove((folder + left).c_str()) == 0)
                    WriteProgramLog("binlog copy: removed " + folder + left +
                                    " (a copy cut off there)");
        const auto copied = CopyFileSafely(packed, target);
        if (copied)
            chain.MarkDone(file.name, BinlogChain::Step::Drive, target);
        else
            chain.MarkFailed(file.name, BinlogChain::Step::Drive, copied.error());
        if (!copied) {
            WriteProgramLog("binlog copy: " + file.name + " not copied onto " + mount + ": " +
                            copied.error());
            Failed("drive " + target);
        }
    }
}

void Offsite(const BinlogChain& chain, const ChainFile& file) {
    std::string command = GetSetting("Monitor", "PostBinlogCommand", "");
    if (TrimSpaces(command).empty())
        command = GetSetting("Monitor", "PostBackupCommand", "");
    // Files finished before each file's hand-over was recorded were handed over then.
    if (TrimSpaces(command).empty() || chain.StepOf(file.name, BinlogChain::Step::Offsite).done ||
        !chain.StepOf(file.name, BinlogChain::Step::Whole).done ||
        TriedLately("offsite " + file.path))
        return;
    const bool done = RunPostBackupCommand(file.path + ".7z", command, "OffsiteBinlogCopy");
    if (done) {
        chain.MarkDone(file.name, BinlogChain::Step::Offsite);
    } else {
        chain.MarkFailed(file.name, BinlogChain::Step::Offsite, "");
        Failed("offsite " + file.path);
    }
}

} // namespace

void FinishCopiedFiles(const std::string& folder, const std::string& driveLabel) {
    if (folder.empty() || !IsFolder(folder))
        return;
    const auto started = Clock::now();
    const auto mounts =
        TrimSpaces(driveLabel).empty() ? std::vector<std::string>{} : DrivesWithLabel(driveLabel);
    std::set<std::string> cleaned;
    for (const auto& chain : BinlogChain::All(folder)) {
        for (const auto& file : chain.Files()) {
            if (Clock::now() - started > kWorkPerLook)
                return; // the next look goes on
            if (!file.whole)
                continue;
            const auto checked = chain.StepOf(file.name, BinlogChain::Step::Checked);
            if (checked.failed)
                continue;
            if (!checked.done && (TriedLately("check " + file.path) || !Check(chain, file)))
                continue;
            if ((!chain.StepOf(file.name, BinlogChain::Step::Packed).done ||
                 !FileExists(file.path + ".7z")) &&
                (TriedLately("pack " + file.path) || !Pack(chain, file)))
                continue;
            OntoDrives(chain, file, mounts, cleaned);
            Offsite(chain, file);
        }
    }
}

} // namespace zenta
