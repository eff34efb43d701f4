#include "clsSystem.h"

#include "Common.h"
#include "Variant.h"

#include <fstream>
#include <sstream>
#include <sys/utsname.h>

namespace zenta {

namespace {

std::string OsReleaseField(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) != 0)
            continue;
        std::string v = line.substr(key.size() + 1);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        return v;
    }
    return {};
}

} // namespace

clsSystem::clsSystem() {
    utsname u{};
    std::string release;
    if (::uname(&u) == 0)
        release = u.release;
    std::string text;
    for (const char* p : {"/etc/os-release", "/usr/lib/os-release"}) {
        if (const auto whole = ReadWholeFile(p)) {
            text = *whole;
            break;
        }
    }
    Fill(release, text);
}

clsSystem::clsSystem(const std::string& kernelRelease, const std::string& osReleaseText) {
    Fill(kernelRelease, osReleaseText);
}

void clsSystem::Fill(const std::string& kernelRelease, const std::string& text) {
    // "6.1.0-18-amd64" → "6.1.0": the numeric version as Windows gives "5.1.2600".
    std::string v;
    for (char c : kernelRelease) {
        if ((c >= '0' && c <= '9') || c == '.')
            v += c;
        else
            break;
    }
    while (!v.empty() && v.back() == '.')
        v.pop_back();
    osVersion_ = v;
    osName_ = OsReleaseField(text, "PRETTY_NAME");
    if (osName_.empty())
        osName_ = OsReleaseField(text, "NAME");
    if (osName_.empty())
        osName_ = "Linux";
    isMasVista_ = Val(osVersion_) >= 6;
}

} // namespace zenta
