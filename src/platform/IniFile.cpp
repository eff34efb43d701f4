#include "IniFile.h"

#include "CodePage.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zenta {

namespace {

struct Line {
    size_t begin = 0; // first byte of the line
    size_t end = 0;   // byte after the line's text (before its line break)
    size_t next = 0;  // first byte of the next line
    enum class Kind { Other, Section, Key } kind = Kind::Other;
    std::string name; // section or key name, UTF-8, trimmed
    size_t valueBegin = 0, valueEnd = 0;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool SameName(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

std::string TrimBlanks(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::vector<Line> Parse(const std::string& text) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        Line ln;
        ln.begin = pos;
        size_t nl = text.find_first_of("\r\n", pos);
        if (nl == std::string::npos) {
            ln.end = ln.next = text.size();
        } else {
            ln.end = nl;
            ln.next = (text[nl] == '\r' && nl + 1 < text.size() && text[nl + 1] == '\n') ? nl + 2
                                                                                         : nl + 1;
        }
        size_t s = ln.begin;
        while (s < ln.end && IsBlank(text[s]))
            ++s;
        if (s < ln.end && text[s] == '[') {
            size_t close = text.rfind(']', ln.end - 1);
            if (close != std::string::npos && close > s) {
                ln.kind = Line::Kind::Section;
                ln.name = TrimBlanks(FromAnsi(std::string_view(text).substr(s + 1, close - s - 1)));
            }
        } else if (s < ln.end && text[s] != ';') {
            size_t eq = text.find('=', s);
            if (eq != std::string::npos && eq < ln.end) {
                ln.kind = Line::Kind::Key;
                ln.name = TrimBlanks(FromAnsi(std::string_view(text).substr(s, eq - s)));
                ln.valueBegin = eq + 1;
                ln.valueEnd = ln.end;
            }
        }
        lines.push_back(std::move(ln));
        pos = lines.back().next;
    }
    return lines;
}

// Index of the first section line with that name, or npos.
size_t FindSection(const std::vector<Line>& lines, const std::string& section) {
    const std::string want = TrimBlanks(section);
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].kind == Line::Kind::Section && SameName(lines[i].name, want))
            return i;
    return std::string::npos;
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

std::string OneLine(std::string s) {
    for (auto& c : s)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return s;
}

} // namespace

std::string IniFile::ReadFrom(const std::string& text, const std::string& section,
                              const std::string& key) {
    const auto lines = Parse(text);
    size_t sec = FindSection(lines, section);
    if (sec == std::string::npos)
        return {};
    const std::string want = TrimBlanks(key);
    for (size_t i = sec + 1; i < lines.size() && lines[i].kind != Line::Kind::Section; ++i) {
        const Line& ln = lines[i];
        if (ln.kind != Line::Kind::Key || !SameName(ln.name, want))
            continue;
        std::string raw = text.substr(ln.valueBegin, ln.valueEnd - ln.valueBegin);
        for (auto& c : raw)
            if (c == '\0')
                c = ' ';
        // Trim in the code page's bytes: blanks are single bytes in every code page we use.
        size_t b = 0, e = raw.size();
        while (b < e && IsBlank(raw[b]))
            ++b;
        while (e > b && IsBlank(raw[e - 1]))
            --e;
        raw = raw.substr(b, e - b);
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
            raw.back() == raw.front())
            raw = raw.substr(1, raw.size() - 2);
        if (raw.size() > kMaxValueBytes)
            raw.resize(kMaxValueBytes);
        return FromAnsi(raw);
    }
    return {};
}

std::string IniFile::WriteTo(const std::string& text, const std::string& section,
                             const std::string& key, const std::string& value) {
    const std::string sec = ToAnsi(OneLine(TrimBlanks(section)));
    const std::string k = ToAnsi(OneLine(TrimBlanks(key)));
    const std::string v = ToAnsi(OneLine(value));
    const auto lines = Parse(text);
    // New lines follow the file's own line breaks; a new file gets CR LF as the suite writes.
    std::string eol = "\r\n";
    size_t firstBreak = text.find_first_of("\r\n");
    if (firstBreak != std::string::npos && text[firstBreak] == '\n')
        eol = "\n";

    size_t s = FindSection(lines, section);
    if (s == std::string::npos) {
        std::string out = text;
        if (!out.empty()) {
            if (out.back() != '\n' && out.back() != '\r')
                out += eol;
            out += eol;
        }
        out += "[" + sec + "]" + eol + k + "=" + v + eol;
        return out;
    }
    const std::string want = TrimBlanks(key);
    size_t lastContent = s;
    for (size_t i = s + 1; i < lines.size() && lines[i].kind != Line::Kind::Section; ++i) {
        const Line& ln = lines[i];
        if (ln.kind == Line::Kind::Key && SameName(ln.name, want)) {
            // Keep the key as the file spells it.
            size_t ks = ln.begin;
            while (ks < ln.valueBegin && IsBlank(text[ks]))
                ++ks;
            size_t ke = ln.valueBegin - 1;
            while (ke > ks && IsBlank(text[ke - 1]))
                --ke;
            return text.substr(0, ln.begin) + text.substr(ks, ke - ks) + "=" + v +
                   text.substr(ln.end);
        }
        if (ln.end > ln.begin) {
            bool blank = true;
            for (size_t p = ln.begin; p < ln.end; ++p)
                if (!IsBlank(text[p])) {
                    blank = false;
                    break;
                }
            if (!blank)
                lastContent = i;
        }
    }
    const Line& after = lines[lastContent];
    std::string out = text.substr(0, after.next);
    if (after.next == after.end) // the last line of the file had no line break
        out += eol;
    out += k + "=" + v + eol;
    out += text.substr(after.next);
    return out;
}

std::string IniFile::Read(const std::string& path, const std::string& section,
                          const std::string& key) {
    std::string text;
    if (!ReadFile(path, text))
        return {};
    return ReadFrom(text, section, key);
}

bool IniFile::Write(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    std::string text;
    struct stat st {};
    const bool existed = ::stat(path.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode))
        return false;
    if (existed && !ReadFile(path, text))
        return false;
    const std::string out = WriteTo(text, section, key, value);
    // Write beside the file and rename over it, so that a crash or a full disk never leaves a
    // half-written settings file behind.
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                    existed ? (st.st_mode & 07777) : 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    bool ok = true;
    while (done < out.size()) {
        ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        ::unlink(tmp.c_str());
    return ok;
}

} // namespace zenta
