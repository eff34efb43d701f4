#pragma once

#include <string>
#include <string_view>

namespace zenta {

// The suite's code page for shared files and double-byte binary values: GBK unless the
// environment variable ZENTA_CODEPAGE names another iconv character set.
std::string AnsiCodePage();

// UTF-8 → code page. Characters the code page cannot hold become '?'.
std::string ToAnsi(std::string_view utf8);
// Code page → UTF-8. Bytes that are not valid in the code page become U+FFFD; a lone lead
// byte at the end is dropped.
std::string FromAnsi(std::string_view ansi);
// True when the text is valid UTF-8.
bool IsValidUtf8(std::string_view text);

} // namespace zenta
