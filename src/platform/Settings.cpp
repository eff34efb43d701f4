#include "Settings.h"

#include "ErrorMode.h"
#include "Globals.h"
#include "IniFile.h"
#include "Text.h"
#include "Variant.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

namespace zenta {

namespace {

void ResolveFileName(std::string& fileName) {
    if (AsciiLowerCase(fileName) == "zentamarket.ini")
        fileName = Globals::AppPath + fileName;
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
    // Restores load tables on two threads; their failures are written one at a time.
    static std::mutex writing;
    std::lock_guard<std::mutex> guard(writing);
    KeepLogWithinLimit(file);
    // The last key used per log and section, so that a burst of entries within one second does
    // not look for each earlier entry of that second again.
    static std::map<std::string, std::pair<std::string, int>> lastKey;
    const std::string stamp = DateTime::Now().StampText();
    auto& last = lastKey[file + '\n' + section];
    int n = last.first == stamp ? last.second + 1 : 1;
    auto keyOf = [&](int k) { return k == 1 ? stamp : stamp + " (" + std::to_string(k) + ")"; };
    for (; n < 100000; ++n) {
        switch (IniFile::AppendToLastSection(file, section, keyOf(n), text)) {
        case IniFile::Append::Done:
            last = {stamp, n};
            return;
        case IniFile::Append::KeyExists:
            continue;
        case IniFile::Append::Failed:
            return;
        case IniFile::Append::NotLastSection:
            break;
        }
        break;
    }
    // A new file, or a section that is not the last one: the whole file is rewritten.
    while (n < 100000 && !IniFile::Read(file, section, keyOf(n)).empty())
        ++n;
    last = {stamp, n};
    IniFile::Write(file, section, keyOf(n), text);
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

Result<long> SettingWholeNumber(const std::string& section, const std::string& key,
                                long defaultValue, long minimum, const std::string& unit) {
    const std::string text = TrimBlanks(GetSetting(section, key, ""));
    if (text.empty())
        return defaultValue;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno == 0 && end && *end == '\0' && value >= minimum)
        return value;
    return Result<long>::Failure(
        key + " is \"" + text + "\", not a whole number" + (unit.empty() ? "" : " of " + unit) +
        (minimum == 0 && !unit.empty() ? "" : " of at least " + std::to_string(minimum)));
}

long GetSettingNumber(const std::string& section, const std::string& key, long defaultValue,
                      long minimum) {
    const auto value = SettingWholeNumber(section, key, defaultValue, minimum);
    if (value)
        return *value;
    WriteProgramLog("zentamarket.ini: [" + section + "] " + value.error() + "; " +
                    std::to_string(defaultValue) + " is used");
    return defaultValue;
}

bool GetSettingBool(const std::string& section, const std::string& key,
                    const std::string& defaultValue, bool whenUnreadable) {
    auto b = TextToBool(GetSetting(section, key, defaultValue));
    return b ? *b : whenUnreadable;
}

} // namespace zenta
