#include "Common.h"

#include "CodePage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "Text.h"

#include <cerrno>
#include <cpuid.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace zenta {

std::string UserName(unsigned uid) {
    if (const passwd* pw = ::getpwuid(uid))
        return pw->pw_name;
    return std::to_string(uid);
}

std::string GroupName(unsigned gid) {
    if (const group* gr = ::getgrgid(gid))
        return gr->gr_name;
    return std::to_string(gid);
}

namespace fs = std::filesystem;

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

namespace {

// Every byte of `contents` into `fd`; false with errno set when one could not be written.
bool WriteAll(int fd, const std::string& contents) {
    for (size_t done = 0; done < contents.size();) {
        const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

Result<Done> ReplaceFileWhole(const std::string& path, const std::string& contents, unsigned mode) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string tmp = folder + "." + name + "." + std::to_string(::getpid());
    auto failed = [&](const std::string& what) {
        const std::string why = std::strerror(errno);
        ::unlink(tmp.c_str());
        return Result<Done>::Failure(what + " " + path + ": " + why);
    };
    FileDescriptor fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd)
        return failed("cannot write");
    if (!WriteAll(fd.get(), contents))
        return failed("cannot write");
    if (::fsync(fd.get()) != 0 || !fd.Close())
        return failed("cannot write");
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        return failed("cannot replace");
    return Done{};
}

Result<Done> WriteScratchFile(const std::string& path, const std::string& contents, unsigned mode) {
    auto failed = [&] {
        const std::string why = std::strerror(errno);
        ::unlink(path.c_str());
        return Result<Done>::Failure("cannot write " + path + ": " + why);
    };
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd)
        return failed();
    if (!WriteAll(fd.get(), contents))
        return failed();
    if (!fd.Close())
        return failed();
    return Done{};
}

std::string WithSlash(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/')
        return folder;
    return folder + "/";
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
    if (from.empty())
        return s;
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
    return s;
}

bool FileExists(const std::string& path) {
    if (path.empty())
        return false;
    return !DirListing(path, vbReadOnly | vbHidden | vbSystem).empty();
}

bool DirExists(const std::string& path) {
    if (path.empty())
        return false;
    if (path.find_first_of("*?") != std::string::npos)
        return !DirListing(path, vbDirectory | vbHidden | vbSystem | vbReadOnly).empty();
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long long FileLength(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

long long RegularFileLength(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
               ? static_cast<long long>(st.st_size)
               : -1;
}

bool CreateFolderPath(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return false;
    std::string built = "/";
    std::string rest = path.substr(1);
    while (!rest.empty()) {
        size_t p = rest.find('/');
        std::string part = rest.substr(0, p);
        rest = p == std::string::npos ? std::string() : rest.substr(p + 1);
        if (part.empty())
            continue;
        built += part + "/";
        struct stat st {};
        if (::stat(built.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return false;
            continue;
        }
        // The shop's data: the program's user and group only.
        if (::mkdir(built.c_str(), 0770) != 0 && ::stat(built.c_str(), &st) != 0)
            return false;
    }
    return true;
}

bool DeleteFolderTree(const std::string& folder, std::string* error) {
    std::error_code ec;
    fs::path p(folder);
    // Read-only entries inside must become writable for their parent to be cleared.
    for (auto it = fs::recursive_directory_iterator(p, fs::directory_options::none, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignore;
        if (it->is_directory(ignore) && !it->is_symlink(ignore))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignore);
    }
    std::error_code ignore;
    fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ignore);
    fs::remove_all(p, ec);
    if (ec) {
        if (error)
            *error = ec.message();
        return false;
    }
    return true;
}

double GetDiskFreeBytes(std::string& folder) {
    folder = WithSlash(TrimSpaces(folder));
    struct statvfs sv {};
    if (::statvfs(folder.c_str(), &sv) != 0)
        return 0;
    return static_cast<double>(sv.f_bavail) * static_cast<double>(sv.f_frsize);
}

std::string QuoteIfSpaced(std::string& text) {
    text = TrimSpaces(text);
    if (text.find(' ') != std::string::npos)
        return "\"" + text + "\"";
    return text;
}

std::string SQLEscape(const std::string& text, bool likeMode) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '\\')
            out += likeMode ? "\\\\\\\\" : "\\\\";
        else if (c == '\'')
            out += "\\'";
        else if (likeMode && c == '_')
            out += "\\_";
        else if (likeMode && c == '%')
            out += "\\%";
        else
            out += c;
    }
    return out;
}

std::string AnsiBytesToString(const Variant& value) {
    if (value.IsNull() || value.IsEmpty())
        return {};
    if (auto b = value.get<Bytes>())
        return FromAnsi(std::string_view(reinterpret_cast<const char*>(b->data()), b->size()));
    return value.ToString();
}

void QuickSortStrings(std::vector<std::string>& a, int first, int last) {
    static std::minstd_rand rng(std::random_device{}());
    while (last > first) {
        int pick = first + static_cast<int>(rng() % static_cast<unsigned>(last - first + 1));
        std::string pivot = std::move(a[pick]);
        a[pick] = std::move(a[first]);
        int lo = first, hi = last;
        for (;;) {
            while (hi > lo && a[hi] >= pivot)
                --hi;
            if (hi <= lo) {
                a[lo] = std::move(pivot);
                break;
            }
            a[lo] = std::move(a[hi]);
            ++lo;
            while (lo < hi && a[lo] < pivot)
                ++lo;
            if (lo >= hi) {
                lo = hi;
                a[hi] = std::move(pivot);
                break;
            }
            a[hi] = std::move(a[lo]);
        }
        // Recurse into the smaller side, loop on the larger: bounded stack depth.
        if (lo - first < last - lo) {
            QuickSortStrings(a, first, lo - 1);
            first = lo + 1;
        } else {
            QuickSortStrings(a, lo + 1, last);
            last = lo - 1;
        }
    }
}

std::string GetProcessorID() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return {};
    char b[32];
    std::snprintf(b, sizeof b, "%08X%08X", edx, eax);
    return b;
}

DiskRoom DiskSpace(const std::string& folder) {
    std::error_code ec;
    std::filesystem::path there = folder;
    while (!std::filesystem::exists(there, ec) && there.has_relative_path())
        there = there.parent_path();
    struct statvfs vfs {};
    if (::statvfs(there.c_str(), &vfs) != 0)
        return {};
    return {static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize),
            static_cast<long long>(vfs.f_blocks) * static_cast<long long>(vfs.f_frsize)};
}

std::string Megabytes(long long bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

} // namespace zenta
