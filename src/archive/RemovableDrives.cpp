#include "RemovableDrives.h"

#include "Common.h"
#include "Text.h"

#include <blkid/blkid.h>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

namespace zenta {

namespace {

VolumeSource& Source() {
    static VolumeSource source;
    return source;
}

// mountinfo escapes blanks and a few others as \ooo.
std::string UnescapeOctal(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        auto octal = [&](size_t k) { return s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && i + 3 < s.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The label read from the device now; libblkid's cache may still hold the label of another
// file system that had the device before (a stick swapped, a loop device reused), so it is
// only asked when the device cannot be read.
std::optional<std::string> ProbedLabel(const std::string& device) {
    if (blkid_probe probe = blkid_new_probe_from_filename(device.c_str())) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL);
        std::optional<std::string> label;
        const char* value = nullptr;
        if (blkid_do_safeprobe(probe) == 0 &&
            blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value)
            label = value;
        blkid_free_probe(probe);
        return label;
    }
    if (char* cached = blkid_get_tag_value(nullptr, "LABEL", device.c_str())) {
        std::string label = cached;
        std::free(cached);
        return label;
    }
    return std::nullopt;
}

std::string RealPath(const std::string& p) {
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : p;
}

} // namespace

std::vector<std::pair<std::string, std::string>> ParseMountInfo(const std::string& text) {
    // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        std::string w;
        while (fields >> w)
            f.push_back(w);
        size_t dash = 0;
        for (size_t i = 6; i < f.size(); ++i)
            if (f[i] == "-") {
                dash = i;
                break;
            }
        if (f.size() < 5 || dash == 0 || dash + 2 >= f.size())
            continue;
        out.emplace_back(UnescapeOctal(f[dash + 2]), UnescapeOctal(f[4]));
    }
    return out;
}

std::string UnescapeLabel(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            out += static_cast<char>(std::strtol(name.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += name[i];
        }
    }
    return out;
}

std::vector<MountedVolume> MountedLabelledVolumes() {
    std::map<std::string, std::string> labelOfDevice;
    if (DIR* d = ::opendir("/dev/disk/by-label")) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..")
                continue;
            labelOfDevice[RealPath("/dev/disk/by-label/" + n)] = UnescapeLabel(n);
        }
        ::closedir(d);
    }
    std::vector<MountedVolume> out;
    for (auto& [device, mountPoint] :
         ParseMountInfo(ReadWholeFile("/proc/self/mountinfo").value_or(""))) {
        if (device.empty() || device[0] != '/')
            continue;
        const std::string real = RealPath(device);
        auto it = labelOfDevice.find(real);
        if (it != labelOfDevice.end()) {
            out.push_back({it->second, mountPoint});
            continue;
        }
        // Without udev there is no by-label folder: read the label from the device itself.
        if (auto label = ProbedLabel(real))
            out.push_back({*label, mountPoint});
    }
    return out;
}

void SetVolumeSource(VolumeSource source) {
    Source() = std::move(source);
}

std::vector<MountedVolume> CurrentVolumes() {
    return Source() ? Source()() : MountedLabelledVolumes();
}

std::vector<std::string> DrivesWithLabel(const std::string& label) {
    std::vector<std::string> out;
    const std::string want = AsciiUpperCase(TrimSpaces(label));
    for (const auto& v : CurrentVolumes())
        if (AsciiUpperCase(TrimSpaces(v.label)) == want)
            out.push_back(v.mountPoint);
    return out;
}

} // namespace zenta
