// Any bytes as a settings file: reading never crashes, and a write keeps every other value.
#include "IniFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using zenta::IniFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    // The first bytes choose the section and key, the rest is the file.
    size_t split = size > 8 ? 8 : size;
    std::string section = text.substr(0, split / 2);
    std::string key = text.substr(split / 2, split - split / 2);
    std::string file = text.substr(split);
    IniFile::ReadFrom(file, section, key);
    const std::string before = IniFile::ReadFrom(file, "Other Section", "Other");
    std::string out = IniFile::WriteTo(file, "Probe", "Key", "Value 1");
    if (IniFile::ReadFrom(out, "Probe", "Key") != "Value 1")
        std::abort();
    if (IniFile::ReadFrom(out, "Other Section", "Other") != before)
        std::abort();
    out = IniFile::WriteTo(out, section, key, "v");
    (void)IniFile::ReadFrom(out, section, key);
    return 0;
}
