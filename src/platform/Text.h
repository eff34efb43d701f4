#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zenta {

// The program's text helpers, in one place. Each trim says which characters it removes; the
// case helpers change the ASCII letters A-Z/a-z only, so the bytes of UTF-8 and GBK text
// (all above 0x7F) pass through untouched.

// Spaces (0x20) only, at both ends: the suite's Trim. Settings values, paths, passwords.
[[nodiscard]] std::string TrimSpaces(std::string_view s);
// Spaces and tabs at both ends: how INI files treat the blanks around names and values.
[[nodiscard]] std::string TrimBlanks(std::string_view s);
// Spaces, tabs, carriage returns and line feeds at both ends: text a person typed or a server
// answered, where a stray line end must not count.
[[nodiscard]] std::string TrimWhitespace(std::string_view s);

[[nodiscard]] char AsciiLower(char c);
[[nodiscard]] std::string AsciiLowerCase(std::string s);
[[nodiscard]] std::string AsciiUpperCase(std::string s);
// Equal when compared with ASCII letters folded to lower case.
[[nodiscard]] bool SameIgnoringAsciiCase(std::string_view a, std::string_view b);

// The items joined by "; " ("" for none): reasons and problems told on one line.
std::string JoinedReasons(const std::vector<std::string>& items);

} // namespace zenta
