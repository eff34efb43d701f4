#pragma once

#include "Variant.h"

#include <optional>
#include <string>
#include <vector>

namespace zenta {

// The names of the backup archives, in one place: "ZentaMarket" + the server's time as
// yyyymmddhhnnss + ".ZTB" for a backup; the same with "-INCOMPLETE" (a table or file missing) or
// "-SHRUNK" (the database lost data) before ".ZTB" for archives that are kept but never count;
// "….ZTB.partial" while one is packed or copied.
enum class ArchiveKind { Good, Incomplete, Shrunk };

// The wildcard that finds the archives that count (the suite's own rotation uses it too).
constexpr const char* kArchivePattern = "ZentaMarket??????????????.ZTB";
// The wildcards of the archives kept that never count, and of every archive by any name.
constexpr const char* kIncompleteArchivePattern = "ZentaMarket*-INCOMPLETE.ZTB";
constexpr const char* kShrunkArchivePattern = "ZentaMarket*-SHRUNK.ZTB";
constexpr const char* kAnyArchivePattern = "ZentaMarket*.ZTB";
// The wildcard of unfinished packings and copies.
constexpr const char* kPartialArchivePattern = "ZentaMarket*.ZTB.partial";

// The extra file of an archive with every exported table's row count and checksum and where
// the binary log stood, taken inside the backup's snapshot. The suite's own restore does not
// read it.
constexpr const char* kTableChecksFile = "ZentaMonitorChecks.ini";

// "yyyymmddhhnnss" of a time.
[[nodiscard]] std::string ArchiveStamp(const DateTime& time);
[[nodiscard]] std::string ArchiveFileName(const std::string& stamp, ArchiveKind kind);

struct ArchiveName {
    std::string stamp; // "yyyymmddhhnnss"
    ArchiveKind kind = ArchiveKind::Good;
    DateTime time; // the stamp as a time
};
// A file name (a path's folder is ignored) read as an archive's; nothing when it is none.
[[nodiscard]] std::optional<ArchiveName> ParseArchiveName(const std::string& fileName);

// Whether an archive of that second exists in the folder already, under any of its names.
[[nodiscard]] bool ArchiveNameTaken(const std::string& folder, const std::string& stamp);

// The archives of a folder that count: named as a backup and whole (IsWhole7zArchive), as
// paths, newest first.
[[nodiscard]] std::vector<std::string> GoodArchivesNewestFirst(const std::string& folder);

// Removes what a packing or a copy killed half-way (a power cut, SIGKILL, a drive pulled out)
// left in the folder, with a log line for each, `who` naming the job.
void RemovePartialArchives(const std::string& folder, const std::string& who);

// Whether an archive of `folder` is whole in the off-site repository: a marker beside it
// (.offsite/<name>), written once the storage acknowledged the archive and its manifest. The
// rotation keeps an archive that is not, while the off-site copy is on.
bool ArchiveOffsite(const std::string& folder, const std::string& name);
bool MarkArchiveOffsite(const std::string& folder, const std::string& name);
// The markers of archives that are gone.
void ForgetGoneOffsiteMarkers(const std::string& folder);

} // namespace zenta
