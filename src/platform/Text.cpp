#include "Text.h"

namespace zenta {

namespace {

std::string TrimSet(std::string_view s, std::string_view set) {
    const size_t b = s.find_first_not_of(set);
    if (b == std::string_view::npos)
        return {};
    return std::string(s.substr(b, s.find_last_not_of(set) - b + 1));
}

} // namespace

std::string TrimSpaces(std::string_view s) {
    return TrimSet(s, " ");
}

std::string TrimBlanks(std::string_view s) {
    return TrimSet(s, " \t");
}

std::string TrimWhitespace(std::string_view s) {
    return TrimSet(s, " \t\r\n");
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string AsciiLowerCase(std::string s) {
    for (auto& c : s)
        c = AsciiLower(c);
    return s;
}

std::string AsciiUpperCase(std::string s) {
    for (auto& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

std::string JoinedReasons(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : "; ") + item;
    return text;
}

} // namespace zenta
