#pragma once

#include <string>

namespace zenta {

// Settings access for zentamarket.ini and the other INI-format files of the suite. A file
// name equal to "zentamarket.ini" (any case) means the one in the program folder, and the
// caller's variable is rewritten to that full path; any other name is used as given.
// A missing or empty value gives the caller's default.
std::string GetINIValue(const std::string& section, const std::string& key,
                        const std::string& defaultValue, std::string& fileName);
void SetINIValue(const std::string& section, const std::string& key, const std::string& value,
                 std::string& fileName);

// One entry of an INI-format log: key = the current date and time "yyyy-mm-dd hh:nn:ss",
// value = the text. A second entry within the same second gets the key "<time> (2)" and so
// on, instead of replacing the first. Nothing is written when the folder is missing.
void WriteIniLogEntry(const std::string& file, const std::string& section, const std::string& text);

// Convenience forms for zentamarket.ini.
std::string GetSetting(const std::string& section, const std::string& key,
                       const std::string& defaultValue);
void SetSetting(const std::string& section, const std::string& key, const std::string& value);
// A whole-number setting of at least `minimum`. Anything else (a word, a fraction, a number
// below the minimum) is written to the program log, naming the key, what it holds and the
// default used instead, and gives the default.
long GetSettingNumber(const std::string& section, const std::string& key, long defaultValue,
                      long minimum);
// A Boolean setting; a text that is no Boolean reads as `whenUnreadable`.
bool GetSettingBool(const std::string& section, const std::string& key,
                    const std::string& defaultValue, bool whenUnreadable = false);

} // namespace zenta
