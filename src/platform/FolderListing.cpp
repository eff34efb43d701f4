#include "FolderListing.h"

#include "Wildcard.h"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zenta {

std::vector<DirEntry> DirListing(const std::string& pathPattern, int attributes) {
    std::vector<DirEntry> out;
    if (pathPattern.empty())
        return out;
    const size_t slash = pathPattern.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : pathPattern.substr(0, slash);
    const std::string pattern =
        slash == std::string::npos ? pathPattern : pathPattern.substr(slash + 1);
    if (pattern.empty())
        return out;
    DIR* d = ::opendir(folder.c_str());
    if (!d)
        return out;
    const bool wild = pattern.find_first_of("*?") != std::string::npos;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (wild ? !WildcardMatch(pattern, name) : name != pattern)
            continue;
        struct stat st {};
        if (::stat((folder + "/" + name).c_str(), &st) != 0 &&
            ::lstat((folder + "/" + name).c_str(), &st) != 0)
            continue;
        int attr = 0;
        if (S_ISDIR(st.st_mode))
            attr |= vbDirectory;
        else if (!S_ISREG(st.st_mode))
            attr |= vbSystem;
        if (name[0] == '.')
            attr |= vbHidden;
        if (::access((folder + "/" + name).c_str(), W_OK) != 0 && !(st.st_mode & S_IWUSR))
            attr |= vbReadOnly;
        if ((attr & vbDirectory) && !(attributes & vbDirectory))
            continue;
        if ((attr & vbHidden) && !(attributes & vbHidden))
            continue;
        if ((attr & vbSystem) && !(attributes & vbSystem))
            continue;
        out.push_back({name, attr});
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return out;
}

std::vector<std::string> DirNames(const std::string& pathPattern, int attributes) {
    std::vector<std::string> names;
    for (auto& e : DirListing(pathPattern, attributes))
        names.push_back(e.name);
    return names;
}

} // namespace zenta
