#pragma once

#include <string>
#include <vector>

namespace zenta {

// File attributes as the suite's directory listing knows them.
enum FileAttribute : int {
    vbNormal = 0,
    vbReadOnly = 1,
    vbHidden = 2,
    vbSystem = 4,
    vbDirectory = 16,
};

struct DirEntry {
    std::string name;
    int attributes = 0; // vbReadOnly | vbHidden | vbSystem | vbDirectory
};

// The entries of a folder whose names match the last part of `pathPattern` (a folder, "/",
// and a name pattern; a plain path lists that one entry if it exists). Plain files are always
// included; hidden (a name beginning with "."), system (anything that is neither a plain file
// nor a folder) and directories only when `attributes` asks for them. "." and ".." are never
// listed. Sorted by name, so that the order does not depend on the file system.
std::vector<DirEntry> DirListing(const std::string& pathPattern, int attributes = vbNormal);
std::vector<std::string> DirNames(const std::string& pathPattern, int attributes = vbNormal);

} // namespace zenta
