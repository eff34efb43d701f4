#include "SegmentPacking.h"

#include "Common.h"
#include "SevenZip.h"

#include <cstdio>
#include <filesystem>

namespace zenta {

Result<std::string> PackSegment(const std::string& bytes, const std::string& password,
                                const std::string& temp) {
    const std::string plain = temp + "segment", packed = temp + "segment.7z";
    std::remove(packed.c_str());
    if (auto written = ReplaceFileWhole(plain, bytes, 0600); !written)
        return Result<std::string>::Failure(written.error());
    const auto outcome = RunSevenZip(
        {"a", "-t7z", "-mx=1", "-mmt=1", "-y", "-bso0", "-bsp0", packed, plain}, password);
    std::remove(plain.c_str());
    if (outcome.status != 0)
        return Result<std::string>::Failure("7-Zip could not pack a segment (status " +
                                            std::to_string(outcome.status) + ")");
    auto out = ReadWholeFile(packed);
    std::remove(packed.c_str());
    if (!out)
        return Result<std::string>::Failure("the packed segment cannot be read");
    return *out;
}

Result<std::string> UnpackSegment(const std::string& packed, const std::string& password,
                                  const std::string& temp) {
    const std::string file = temp + "check.7z", folder = temp + "check/";
    std::filesystem::remove_all(folder);
    if (auto written = ReplaceFileWhole(file, packed, 0600); !written)
        return Result<std::string>::Failure(written.error());
    const auto outcome = RunSevenZip({"x", "-y", "-bso0", "-bsp0", "-o" + folder, file}, password);
    std::remove(file.c_str());
    auto plain = ReadWholeFile(folder + "segment");
    std::filesystem::remove_all(folder);
    if (outcome.status != 0 || !plain)
        return Result<std::string>::Failure("not a segment this password opens");
    return *plain;
}

} // namespace zenta
