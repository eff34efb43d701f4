#pragma once

#include "Result.h"

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
// The one way to read a number from zentamarket.ini: a whole number of at least `minimum`
// (`defaultValue` when the key is missing or empty), or why the text is none ("KeepWeekly is
// \"four\", not a whole number of weeks"; `unit` names what it counts, "" for none). A caller
// that must not guess (a rotation that would delete) stops on the failure.
Result<long> SettingWholeNumber(const std::string& section, const std::string& key,
                                long defaultValue, long minimum, const std::string& unit = "");
// The same for a caller that can carry on: a text that is no such number is written to the
// program log, naming the key, what it holds and the default used instead.
long GetSettingNumber(const std::string& section, const std::string& key, long defaultValue,
                      long minimum);
// A Boolean setting; a text that is no Boolean reads as `whenUnreadable`.
bool GetSettingBool(const std::string& section, const std::string& key,
                    const std::string& defaultValue, bool whenUnreadable = false);

} // namespace zenta
