#include "Terminal.h"

#include "LocalTime.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <unistd.h>

namespace zenta::cli {

ProgressLine::ProgressLine() : tty_(::isatty(1) != 0) {}

void ProgressLine::Show(const std::string& text) {
    if (!tty_)
        return;
    std::string line = text.substr(0, 78);
    const size_t width = line.size();
    if (width < shown_)
        line += std::string(shown_ - width, ' ');
    std::cout << "\r" << line << std::flush;
    shown_ = width;
}

void ProgressLine::Clear() {
    if (!tty_ || shown_ == 0)
        return;
    std::cout << "\r" << std::string(shown_, ' ') << "\r" << std::flush;
    shown_ = 0;
}

std::function<void(const std::string&, bool)> SayOn(ProgressLine& progress) {
    return [&progress](const std::string& line, bool transient) {
        if (transient) {
            progress.Show(line);
            return;
        }
        progress.Clear();
        std::cout << line << "\n" << std::flush;
    };
}

void Line(const std::string& label, const std::string& value) {
    std::string padded = label + ":";
    padded.resize(std::max<size_t>(padded.size() + 1, 20), ' ');
    std::cout << padded << value << "\n";
}

void Progress(const std::string& line) {
    std::cout << line << std::endl;
}

std::string HumanBytes(long long b) {
    char text[32];
    if (b >= 1 << 20)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(b) / (1 << 20));
    else
        std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(b) / 1024);
    return text;
}

std::string Size(long long bytes) {
    char text[32];
    if (bytes >= (1LL << 30))
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / (1LL << 30));
    else
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

std::string Age(const std::string& stamp) {
    const long long then = StampSeconds(stamp);
    const long long seconds = static_cast<long long>(std::time(nullptr)) - then;
    if (then <= 0 || seconds < 0)
        return "";
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " min ago";
    if (seconds < 2 * 86400)
        return std::to_string(seconds / 3600) + " h ago";
    return std::to_string(seconds / 86400) + " days ago";
}

std::string Wrapped(const std::string& text, size_t width) {
    std::string out, line;
    size_t at = 0;
    while (at < text.size()) {
        const size_t space = text.find(' ', at);
        const std::string word =
            text.substr(at, space == std::string::npos ? std::string::npos : space - at);
        at = space == std::string::npos ? text.size() : space + 1;
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line;
}

} // namespace zenta::cli
