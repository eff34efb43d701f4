#include "Settings.h"

#include "Globals.h"
#include "IniFile.h"
#include "Variant.h"

namespace zenta {

namespace {

void ResolveFileName(std::string& fileName) {
    std::string lower = fileName;
    for (auto& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (lower == "zentamarket.ini")
        fileName = Globals::AppPath + fileName;
}

std::string TrimSpaces(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

} // namespace

std::string GetINIValue(const std::string& section, const std::string& key,
                        const std::string& defaultValue, std::string& fileName) {
    ResolveFileName(fileName);
    std::string value = IniFile::Read(fileName, section, key);
    if (value.empty())
        return defaultValue;
    return TrimSpaces(value);
}

void SetINIValue(const std::string& section, const std::string& key, const std::string& value,
                 std::string& fileName) {
    ResolveFileName(fileName);
    IniFile::Write(fileName, section, key, value);
}

void WriteIniLogEntry(const std::string& file, const std::string& section,
                      const std::string& text) {
    const std::string stamp = DateTime::Now().StampText();
    std::string key = stamp;
    for (int n = 2; n < 1000 && !IniFile::Read(file, section, key).empty(); ++n)
        key = stamp + " (" + std::to_string(n) + ")";
    IniFile::Write(file, section, key, text);
}

std::string GetSetting(const std::string& section, const std::string& key,
                       const std::string& defaultValue) {
    std::string file = "zentamarket.ini";
    return GetINIValue(section, key, defaultValue, file);
}

void SetSetting(const std::string& section, const std::string& key, const std::string& value) {
    std::string file = "zentamarket.ini";
    SetINIValue(section, key, value, file);
}

bool GetSettingBool(const std::string& section, const std::string& key,
                    const std::string& defaultValue, bool whenUnreadable) {
    auto b = TextToBool(GetSetting(section, key, defaultValue));
    return b ? *b : whenUnreadable;
}

} // namespace zenta
