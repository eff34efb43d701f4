#include "Recordings.h"

#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "Globals.h"
#include "HelperPrograms.h"
#include "JobNotes.h"
#include "Settings.h"
#include "UserInterface.h"
#include "Variant.h"
#include "clsXMLWMPList.h"

#include <algorithm>
#include <cstdio>

namespace zenta {

namespace {
FreeSpaceSource& FreeSpace() {
    static FreeSpaceSource source;
    return source;
}

double FreeBytes(const std::string& folder) {
    if (FreeSpace())
        return FreeSpace()(folder);
    std::string f = folder;
    return GetDiskFreeBytes(f);
}
} // namespace

void SetFreeSpaceSource(FreeSpaceSource source) {
    FreeSpace() = std::move(source);
}

void AutoEliminarVideosProc() {
    if (!GetSettingBool("VideoGrabber", "AutoEliminarVideos", "0")) {
        NoteJob("recordings' clean-up", "not due: it is off ([VideoGrabber] AutoEliminarVideos)");
        return;
    }
    std::string root = GetSetting("VideoGrabber", "RecordPath", "");
    if (root.empty() || !DirExists(root)) {
        NoteJob("recordings' clean-up",
                "not done: the recordings folder ([VideoGrabber] RecordPath) does not exist");
        return;
    }
    NoteJob("recordings' clean-up", "ran");
    root = WithSlash(root);
    std::vector<std::string> names = DirNames(root + "2?????????", vbDirectory);
    if (names.empty())
        return;
    std::sort(names.begin(), names.end(), std::greater<>());
    const std::string today = DateTime::Today().DateText();
    // From the oldest name to the newest; once there is room the rest are only measured.
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        const double gb = FreeBytes(root) / 1024.0 / 1024.0 / 1024.0;
        if (gb < kRecordingsFreeSpaceGB && *it != today) {
            std::string error;
            if (!DeleteFolderTree(root + *it, &error))
                ReportFailure("AutoEliminarVideosProc",
                              "cannot delete " + root + *it + ": " + error);
        }
    }
}

void ShowTodayRecordings() {
    if (IsDVRRunning())
        SendToHelper(kRecorderPort, "101");
    const std::string root = GetSetting("VideoGrabber", "RecordPath", "");
    // The root is taken with its separator whether or not the settings file wrote one.
    const std::string day = WithSlash(root) + DateTime::Today().DateText() + "/";
    std::vector<std::string> files = DirNames(day + "*.asf");
    if (files.empty()) {
        ShowMessage("本日无任何录像！");
        return;
    }
    const std::string playlist = Globals::AppPath + "ZentaVideosToday.wpl";
    if (FileExists(playlist))
        std::remove(playlist.c_str());
    std::sort(files.begin(), files.end());
    {
        clsXMLWMPList document;
        document.LoadConfigurationFile(playlist);
        for (const auto& f : files)
            document.WriteValue("seq", day + f, "");
        document.SaveConfigurationFile();
    }
    OpenDocument(playlist);
}

} // namespace zenta
