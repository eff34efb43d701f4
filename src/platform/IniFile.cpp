#include "IniFile.h"

#include <climits>
#include <cstdlib>

#include "CodePage.h"
#include "Common.h"
#include "FileDescriptor.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
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

// An exclusive lock on the folder that holds a file, for one read-change-rename of it.
class FolderLock {
  public:
    explicit FolderLock(const std::string& path) {
        const size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FolderLock() {
        if (fd_ >= 0)
            ::close(fd_); // the lock goes with it
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

  private:
    int fd_ = -1;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
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
        if (lines[i].kind == Line::Kind::Section && SameIgnoringAsciiCase(lines[i].name, want))
            return i;
    return std::string::npos;
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
        if (ln.kind != Line::Kind::Key || !SameIgnoringAsciiCase(ln.name, want))
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
        if (ln.kind == Line::Kind::Key && SameIgnoringAsciiCase(ln.name, want)) {
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
    const auto text = ReadWholeFile(path);
    if (!text)
        return {};
    return ReadFrom(*text, section, key);
}

bool IniFile::Write(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    return WriteMany(path, section, {{key, value}});
}

bool IniFile::WriteMany(const std::string& given, const std::string& section,
                        const std::vector<std::pair<std::string, std::string>>& values) {
    // A settings file reached through a link (the package keeps the settings under /etc/opt
    // and links them into the program folder) is written where the link points: the link
    // stays.
    std::string path = given;
    if (char resolved[PATH_MAX]; ::realpath(given.c_str(), resolved))
        path = resolved;
    // Read, changed and renamed over under the folder's lock: two programs writing the same
    // file (the monitor and a command a technician runs) never lose each other's keys.
    const FolderLock lock(path);
    std::string text;
    struct stat st {};
    const bool existed = ::stat(path.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode))
        return false;
    if (existed) {
        const auto whole = ReadWholeFile(path);
        if (!whole)
            return false;
        text = *whole;
    }
    std::string out = text;
    for (const auto& [key, value] : values)
        out = WriteTo(out, section, key, value);
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

bool IniFile::RemoveSections(const std::string& given, const std::vector<std::string>& sections) {
    std::string path = given;
    if (char resolved[PATH_MAX]; ::realpath(given.c_str(), resolved))
        path = resolved;
    const FolderLock lock(path);
    const auto text = ReadWholeFile(path);
    if (!text)
        return !FileExists(path);
    std::string kept;
    bool dropping = false;
    for (const Line& line : Parse(*text)) {
        if (line.kind == Line::Kind::Section)
            dropping = std::any_of(sections.begin(), sections.end(), [&](const std::string& s) {
                return AsciiLowerCase(TrimBlanks(s)) == AsciiLowerCase(line.name);
            });
        if (!dropping)
            kept += text->substr(line.begin, line.next - line.begin);
    }
    if (kept == *text)
        return true;
    struct stat st {};
    const unsigned mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    return static_cast<bool>(ReplaceFileWhole(path, kept, mode));
}

namespace {

// What this process knows of a log file it appended to last: as long as the file is the same
// and no one else wrote to it, its last section is still the one we wrote into.
struct AppendState {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtime = 0;
    std::string section; // as asked for, trimmed
};

std::map<std::string, AppendState>& AppendStates() {
    static std::map<std::string, AppendState> states;
    return states;
}

long long ModificationTime(const struct stat& st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

bool ReadAt(int fd, off_t offset, size_t length, std::string& out) {
    out.resize(length);
    size_t done = 0;
    while (done < length) {
        ssize_t n =
            ::pread(fd, out.data() + done, length - done, offset + static_cast<off_t>(done));
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Whether `text` holds a key line with that name.
bool HasKey(const std::string& text, const std::string& key) {
    for (const auto& ln : Parse(text))
        if (ln.kind == Line::Kind::Key && SameIgnoringAsciiCase(ln.name, key))
            return true;
    return false;
}

// Where the last section's header line begins, looking backwards from the end; -1 when there
// is none, -2 when the file cannot be read.
off_t LastHeader(int fd, off_t size) {
    const off_t chunk = 256 * 1024;
    for (off_t end = size; end > 0;) {
        const off_t begin = end > chunk ? end - chunk : 0;
        std::string piece;
        if (!ReadAt(fd, begin, static_cast<size_t>(end - begin), piece))
            return -2;
        for (size_t i = piece.size(); i-- > 0;)
            if (piece[i] == '[' &&
                (i > 0 ? (piece[i - 1] == '\n' || piece[i - 1] == '\r') : begin == 0))
                return begin + static_cast<off_t>(i);
        // The next piece overlaps by one byte, so a '[' at this piece's start is judged by the
        // byte before it.
        end = begin > 0 ? begin + 1 : 0;
    }
    return -1;
}

// The end of the file's last section (where this second's keys would stand), found by its
// header; its name in `name`. Append::Done when found.
IniFile::Append SearchedTail(int fd, off_t size, std::string& name, std::string& tail) {
    const off_t header = LastHeader(fd, size);
    if (header < 0)
        return header == -1 ? IniFile::Append::NotLastSection : IniFile::Append::Failed;
    std::string headerLine;
    const off_t lineEnd = std::min<off_t>(size, header + 4096);
    if (!ReadAt(fd, header, static_cast<size_t>(lineEnd - header), headerLine))
        return IniFile::Append::Failed;
    headerLine = headerLine.substr(0, headerLine.find_first_of("\r\n"));
    const off_t from =
        std::max<off_t>(header + static_cast<off_t>(headerLine.size()), size - 64 * 1024);
    if (!ReadAt(fd, from, static_cast<size_t>(size - from), tail))
        return IniFile::Append::Failed;
    for (const auto& ln : Parse(headerLine))
        if (ln.kind == Line::Kind::Section)
            name = ln.name;
    // A later header that the backward look passed over (one indented with blanks).
    const auto lines = Parse(tail);
    for (size_t i = lines.size(); i-- > 0;)
        if (lines[i].kind == Line::Kind::Section) {
            name = lines[i].name;
            tail = tail.substr(lines[i].next);
            break;
        }
    return IniFile::Append::Done;
}

// Appends the key's line at the end, in the file's own line ends.
bool AppendLine(int fd, off_t size, const std::string& tail, const std::string& key,
                const std::string& value) {
    std::string eol = "\r\n";
    const size_t firstBreak = tail.find_first_of("\r\n");
    if (firstBreak != std::string::npos && tail[firstBreak] == '\n')
        eol = "\n";
    std::string line, lastByte;
    if (!ReadAt(fd, size - 1, 1, lastByte))
        return false;
    if (lastByte[0] != '\n' && lastByte[0] != '\r')
        line += eol;
    line += ToAnsi(OneLine(TrimBlanks(key))) + "=" + ToAnsi(OneLine(value)) + eol;
    return ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

} // namespace

IniFile::Append IniFile::AppendToLastSection(const std::string& path, const std::string& section,
                                             const std::string& key, const std::string& value) {
    const std::string want = TrimBlanks(section);
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return Append::NotLastSection; // a new file: the ordinary write creates it
    auto& states = AppendStates();
    const auto known = states.find(path);
    const bool unchanged = known != states.end() && known->second.device == st.st_dev &&
                           known->second.inode == st.st_ino && known->second.size == st.st_size &&
                           known->second.mtime == ModificationTime(st);
    // The end of the file: the last few entries when we wrote it last; otherwise the whole
    // last section, found by looking backwards for a line that opens one.
    std::string name, tail;
    if (unchanged) {
        name = known->second.section;
        const off_t from = st.st_size > 64 * 1024 ? st.st_size - 64 * 1024 : 0;
        if (SameIgnoringAsciiCase(name, want) &&
            !ReadAt(fd.get(), from, static_cast<size_t>(st.st_size - from), tail))
            return Append::Failed;
    } else if (const Append found = SearchedTail(fd.get(), st.st_size, name, tail);
               found != Append::Done) {
        return found;
    }
    if (!SameIgnoringAsciiCase(name, want))
        return Append::NotLastSection;
    if (HasKey(tail, TrimBlanks(key)))
        return Append::KeyExists;
    bool ok = AppendLine(fd.get(), st.st_size, tail, key, value);
    struct stat after {};
    if (ok && ::fstat(fd.get(), &after) == 0)
        states[path] = {after.st_dev, after.st_ino, after.st_size, ModificationTime(after), want};
    else
        states.erase(path);
    if (!fd.Close())
        ok = false;
    return ok ? Append::Done : Append::Failed;
}

} // namespace zenta
