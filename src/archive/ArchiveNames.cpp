#include "ArchiveNames.h"

#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "SevenZip.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

namespace zenta {

namespace {

constexpr const char* kPrefix = "ZentaMarket";
constexpr size_t kStampLength = 14;

const char* Suffix(ArchiveKind kind) {
    switch (kind) {
    case ArchiveKind::Incomplete:
        return "-INCOMPLETE.ZTB";
    case ArchiveKind::Shrunk:
        return "-SHRUNK.ZTB";
    default:
        return ".ZTB";
    }
}

} // namespace

std::string ArchiveStamp(const DateTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

std::string ArchiveFileName(const std::string& stamp, ArchiveKind kind) {
    return kPrefix + stamp + Suffix(kind);
}

std::optional<ArchiveName> ParseArchiveName(const std::string& fileName) {
    const std::string name = std::filesystem::path(fileName).filename().string();
    const size_t prefix = std::char_traits<char>::length(kPrefix);
    if (name.size() < prefix + kStampLength || name.compare(0, prefix, kPrefix) != 0)
        return std::nullopt;
    ArchiveName parsed;
    parsed.stamp = name.substr(prefix, kStampLength);
    if (parsed.stamp.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const std::string rest = name.substr(prefix + kStampLength);
    if (rest == Suffix(ArchiveKind::Good))
        parsed.kind = ArchiveKind::Good;
    else if (rest == Suffix(ArchiveKind::Incomplete))
        parsed.kind = ArchiveKind::Incomplete;
    else if (rest == Suffix(ArchiveKind::Shrunk))
        parsed.kind = ArchiveKind::Shrunk;
    else
        return std::nullopt;
    auto number = [&](size_t at, size_t n) {
        return std::atoi(parsed.stamp.substr(at, n).c_str());
    };
    DateTime& t = parsed.time;
    t.kind = DateTime::Kind::Timestamp;
    t.year = number(0, 4);
    t.month = number(4, 2);
    t.day = number(6, 2);
    t.hour = number(8, 2);
    t.minute = number(10, 2);
    t.second = number(12, 2);
    if (t.year < 1970 || t.month < 1 || t.month > 12 || t.day < 1 ||
        t.day > DateTime::DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 ||
        t.second > 59)
        return std::nullopt;
    return parsed;
}

bool ArchiveNameTaken(const std::string& folder, const std::string& stamp) {
    for (const auto kind : {ArchiveKind::Good, ArchiveKind::Incomplete, ArchiveKind::Shrunk})
        if (FileExists(WithSlash(folder) + ArchiveFileName(stamp, kind)))
            return true;
    return false;
}

void RemovePartialArchives(const std::string& folder, const std::string& who) {
    const std::string dir = WithSlash(folder);
    for (const auto& name : DirNames(dir + kPartialArchivePattern, vbHidden | vbSystem)) {
        std::error_code ec;
        if (std::filesystem::remove(dir + name, ec))
            WriteProgramLog(who + ": removed " + dir + name +
                            ", left by a packing or copy that did not finish");
    }
}

std::vector<std::string> GoodArchivesNewestFirst(const std::string& folder) {
    auto names = DirNames(WithSlash(folder) + kArchivePattern);
    std::sort(names.begin(), names.end(), std::greater<>());
    std::vector<std::string> good;
    for (const auto& name : names)
        if (IsWhole7zArchive(WithSlash(folder) + name))
            good.push_back(WithSlash(folder) + name);
    return good;
}

namespace {

std::string MarkerFolder(const std::string& folder) {
    return (folder.empty() || folder.back() == '/' ? folder : folder + "/") + ".offsite/";
}

} // namespace

bool ArchiveOffsite(const std::string& folder, const std::string& name) {
    return FileExists(MarkerFolder(folder) + name);
}

bool MarkArchiveOffsite(const std::string& folder, const std::string& name) {
    const std::string markers = MarkerFolder(folder);
    if (!CreateFolderPath(markers))
        return false;
    std::FILE* f = std::fopen((markers + name).c_str(), "w");
    return f && std::fclose(f) == 0;
}

void ForgetGoneOffsiteMarkers(const std::string& folder) {
    const std::string markers = MarkerFolder(folder);
    const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (const auto& name : DirNames(markers + "*"))
        if (!FileExists(base + name))
            std::remove((markers + name).c_str());
}

} // namespace zenta
