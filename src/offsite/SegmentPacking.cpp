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
    if (auto written = WriteScratchFile(plain, bytes, 0600); !written)
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
    if (auto written = WriteScratchFile(file, packed, 0600); !written)
        return Result<std::string>::Failure(written.error());
    const auto outcome = RunSevenZip({"x", "-y", "-bso0", "-bsp0", "-o" + folder, file}, password);
    std::remove(file.c_str());
    auto plain = ReadWholeFile(folder + "segment");
    std::filesystem::remove_all(folder);
    if (outcome.status != 0 || !plain)
        return Result<std::string>::Failure("not a segment this password opens");
    return *plain;
}

std::vector<Result<std::string>> UnpackSegments(const std::vector<std::string>& packed,
                                                const std::string& password,
                                                const std::string& temp) {
    std::vector<Result<std::string>> out;
    if (packed.size() <= 1) {
        for (const auto& p : packed)
            out.push_back(UnpackSegment(p, password, temp));
        return out;
    }
    const std::string in = temp + "batch/", opened = temp + "opened/";
    std::filesystem::remove_all(in);
    std::filesystem::remove_all(opened);
    CreateFolderPath(in);
    char name[32];
    for (size_t i = 0; i < packed.size(); ++i) {
        std::snprintf(name, sizeof name, "s%06zu", i);
        if (auto written = WriteScratchFile(in + name + ".7z", packed[i], 0600); !written) {
            std::filesystem::remove_all(in);
            out.assign(packed.size(), Result<std::string>::Failure(written.error()));
            return out;
        }
    }
    // "*" in the folder is each archive's own name: every segment unpacked beside the others.
    (void)RunSevenZip({"x", "-y", "-bso0", "-bsp0", "-o" + opened + "*", in + "s*.7z"}, password,
                      static_cast<int>(packed.size()));
    for (size_t i = 0; i < packed.size(); ++i) {
        std::snprintf(name, sizeof name, "s%06zu", i);
        auto plain = ReadWholeFile(opened + name + "/segment");
        // One that did not open is asked again alone, for its own answer.
        out.push_back(plain ? Result<std::string>(*plain)
                            : UnpackSegment(packed[i], password, temp));
    }
    std::filesystem::remove_all(in);
    std::filesystem::remove_all(opened);
    return out;
}

} // namespace zenta
