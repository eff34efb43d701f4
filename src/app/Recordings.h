#pragma once

#include <functional>
#include <string>

namespace zenta {

// Deletes the oldest day folders of the recordings ("yyyy-mm-dd" under the recording root)
// while the root's file system has less than 3.0 GB free; today's folder is never deleted.
void AutoEliminarVideosProc();
// The menu command: tells the recorder, writes today's playlist ZentaVideosToday.wpl in the
// program folder and opens it with the desktop's player; "本日无任何录像！" when there is none.
void ShowTodayRecordings();

// Free bytes on a folder's file system; replaceable for tests.
using FreeSpaceSource = std::function<double(const std::string& folder)>;
void SetFreeSpaceSource(FreeSpaceSource source);

constexpr double kRecordingsFreeSpaceGB = 3.0;

} // namespace zenta
