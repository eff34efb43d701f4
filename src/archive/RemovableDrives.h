#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zenta {

// A mounted file system that carries a volume label.
struct MountedVolume {
    std::string label;
    std::string mountPoint; // no trailing "/"
};

// The labelled file systems mounted now: /proc/self/mountinfo joined with /dev/disk/by-label,
// or with the label read from the device (libblkid) where udev keeps no such folder.
std::vector<MountedVolume> MountedLabelledVolumes();

// Where the jobs get the list from; tests present folders of their own as drives.
using VolumeSource = std::function<std::vector<MountedVolume>()>;
void SetVolumeSource(VolumeSource source);
std::vector<MountedVolume> CurrentVolumes();

// The mount points whose label equals `label`, both trimmed and compared without case.
std::vector<std::string> DrivesWithLabel(const std::string& label);

// Parsers, exposed for tests: a /proc/self/mountinfo text, and an escaped name of
// /dev/disk/by-label ("MY\x20DRIVE").
std::vector<std::pair<std::string, std::string>> ParseMountInfo(const std::string& text);
std::string UnescapeLabel(const std::string& name);

} // namespace zenta
