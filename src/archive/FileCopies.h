#pragma once

#include "Result.h"

#include <functional>
#include <string>

namespace zenta {

// Copies a file onto a drive: written as "<to>.partial", synced and checked through one
// descriptor (its size equal to the source's, and a whole 7z archive), and only then given its
// name; otherwise the partial file is removed and the reason given (for a full drive: what was
// needed and what was free). `progress` hears of the bytes written so far.
Result<Done> CopyFileSafely(const std::string& from, const std::string& to,
                            const std::function<void(long long copied)>& progress = {});

// A file's or a folder's changes onto the disk; false when that failed.
bool SyncPath(const std::string& path);
bool SyncFolder(const std::string& folder);

} // namespace zenta
