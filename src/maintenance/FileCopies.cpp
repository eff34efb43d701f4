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

Result<Done> CopyFileSafely(const std::string& from, const std::string& to,
                            const std::function<void(long long copied)>& progress) {
    auto failed = [](const std::string& why) { return Result<Done>::Failure(why); };
    FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat source {};
    if (in.get() < 0 || ::fstat(in.get(), &source) != 0)
        return failed("the archive " + from + " cannot be read: " + std::strerror(errno));
    const long long size = source.st_size;
    const std::string folder = ParentOf(to);
    auto noSpace = [&] {
        const long long free = DiskSpace(folder).free;
        return "no space on the drive: the archive needs " + Megabytes(size) + ", " +
               (free < 0 ? std::string("unknown") : Megabytes(free)) + " free";
    };
    if (const long long free = DiskSpace(folder).free; free >= 0 && free < size)
        return failed(noSpace());

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
    std::vector<char> buffer(1 << 20);
    long long copied = 0;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return discard("the archive " + from + " cannot be read: " + std::strerror(errno));
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out.get(), buffer.data() + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return discard(errno == ENOSPC ? noSpace()
                                               : std::string("writing on the drive failed: ") +
                                                     std::strerror(errno));
            done += w;
        }
        copied += n;
        if (progress)
            progress(copied);
        // A large copy onto a slow stick takes minutes: the tray keeps answering meanwhile.
        CallWaitHook();
        if (StopRequested())
            return discard("stopped, the program is ending");
    }
    // Synced and measured through the descriptor that wrote it: the archive is on the drive,
    // not in a cache, and whole, before it counts.
    struct stat written {};
    if (::fsync(out.get()) != 0)
        return discard(errno == ENOSPC ? noSpace()
                                       : std::string("the copy could not be written to the "
                                                     "drive: ") +
                                             std::strerror(errno));
    if (::fstat(out.get(), &written) != 0 || written.st_size != size || copied != size)
        return discard("the copy on the drive is " + std::to_string(written.st_size) +
                       " bytes instead of " + std::to_string(size));
    if (!out.Close())
        return discard(std::string("the copy could not be written to the drive: ") +
                       std::strerror(errno));
    if (!IsWhole7zArchive(partial))
        return discard("the copy on the drive is not a whole archive (was the drive removed?)");
    if (::rename(partial.c_str(), to.c_str()) != 0)
        return discard("the copy cannot be given its name " + to + ": " + std::strerror(errno));
    SyncFolder(folder);
    struct stat named {};
    if (::stat(to.c_str(), &named) != 0 || named.st_size != size)
        return failed("the copy is not under its name " + to + " (was the drive removed?)");
    return Done{};
}

} // namespace zenta
