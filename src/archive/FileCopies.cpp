#include "FileCopies.h"

#include "Common.h"
#include "FileDescriptor.h"
#include "SevenZip.h"
#include "StopRequest.h"
#include "WaitHook.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zenta {

namespace {

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

bool Sync(const std::string& path, bool directory) {
    FileDescriptor fd(::open(path.c_str(), (directory ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC));
    return fd && ::fsync(fd.get()) == 0;
}

} // namespace

bool SyncPath(const std::string& path) {
    return Sync(path, false);
}

bool SyncFolder(const std::string& folder) {
    return Sync(folder, true);
}

namespace {

// "no space on the drive: the archive needs …, … free".
std::string NoSpace(const std::string& folder, long long size) {
    const long long free = DiskSpace(folder).free;
    return "no space on the drive: the archive needs " + Megabytes(size) + ", " +
           (free < 0 ? std::string("unknown") : Megabytes(free)) + " free";
}

// Every byte of `in` written to `out`; how many, or why not (`size` for the drive's words).
Result<long long> CopyBytes(int in, int out, const std::string& from, const std::string& folder,
                            long long size, const std::function<void(long long)>& progress) {
    std::vector<char> buffer(1 << 20);
    long long copied = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Result<long long>::Failure("the archive " + from +
                                              " cannot be read: " + std::strerror(errno));
        if (n == 0)
            return copied;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer.data() + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return Result<long long>::Failure(
                    errno == ENOSPC
                        ? NoSpace(folder, size)
                        : std::string("writing on the drive failed: ") + std::strerror(errno));
            done += w;
        }
        copied += n;
        if (progress)
            progress(copied);
        // A large copy onto a slow stick takes minutes: the tray keeps answering meanwhile.
        CallWaitHook();
        if (StopRequested())
            return Result<long long>::Failure("stopped, the program is ending");
    }
}

// Synced and measured through the descriptor that wrote it: the archive is on the drive, not in
// a cache, and whole, before it counts. Why not, "" when it is.
std::string Settled(FileDescriptor& out, const std::string& partial, const std::string& folder,
                    long long size, long long copied) {
    struct stat written {};
    if (::fsync(out.get()) != 0)
        return errno == ENOSPC ? NoSpace(folder, size)
                               : std::string("the copy could not be written to the drive: ") +
                                     std::strerror(errno);
    if (::fstat(out.get(), &written) != 0 || written.st_size != size || copied != size)
        return "the copy on the drive is " + std::to_string(written.st_size) +
               " bytes instead of " + std::to_string(size);
    if (!out.Close())
        return std::string("the copy could not be written to the drive: ") + std::strerror(errno);
    if (!IsWhole7zArchive(partial))
        return "the copy on the drive is not a whole archive (was the drive removed?)";
    return {};
}

} // namespace

Result<Done> CopyFileSafely(const std::string& from, const std::string& to,
                            const std::function<void(long long copied)>& progress) {
    auto failed = [](const std::string& why) { return Result<Done>::Failure(why); };
    FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat source {};
    if (in.get() < 0 || ::fstat(in.get(), &source) != 0)
        return failed("the archive " + from + " cannot be read: " + std::strerror(errno));
    const long long size = source.st_size;
    const std::string folder = ParentOf(to);
    if (const long long free = DiskSpace(folder).free; free >= 0 && free < size)
        return failed(NoSpace(folder, size));
    const std::string partial = to + ".partial";
    FileDescriptor out(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (out.get() < 0)
        return failed("cannot write on the drive (" + partial + "): " + std::strerror(errno));
    // From here on the partial file goes again on every failure.
    auto discard = [&](const std::string& why) {
        out.Close();
        ::unlink(partial.c_str());
        return failed(why);
    };
    const auto copied = CopyBytes(in.get(), out.get(), from, folder, size, progress);
    if (!copied)
        return discard(copied.error());
    if (const std::string why = Settled(out, partial, folder, size, *copied); !why.empty())
        return discard(why);
    if (::rename(partial.c_str(), to.c_str()) != 0)
        return discard("the copy cannot be given its name " + to + ": " + std::strerror(errno));
    SyncFolder(folder);
    struct stat named {};
    if (::stat(to.c_str(), &named) != 0 || named.st_size != size)
        return failed("the copy is not under its name " + to + " (was the drive removed?)");
    return Done{};
}

} // namespace zenta
