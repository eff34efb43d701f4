#include "SingleInstance.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zenta {

FileLock::FileLock(std::string path) : path_(std::move(path)) {}

FileLock::~FileLock() {
    Unlock();
    if (fd_ >= 0)
        ::close(fd_);
}

bool FileLock::Open() {
    if (fd_ >= 0)
        return true;
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0660);
    if (fd_ < 0) {
        error_ = "cannot open the lock file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    error_.clear();
    // Whoever made the file, nobody outside the program's user and group may take it.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && (st.st_mode & 0007) != 0)
        ::fchmod(fd_, st.st_mode & 0770);
    return true;
}

bool FileLock::TryLock() {
    if (locked_)
        return true;
    if (!Open())
        return false;
    locked_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    return locked_;
}

bool FileLock::LockWithin(std::chrono::milliseconds limit, const std::function<void()>& waiting,
                          const std::function<bool()>& keepWaiting) {
    if (TryLock())
        return true;
    if (fd_ < 0)
        return false;
    if (waiting)
        waiting();
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (keepWaiting && !keepWaiting())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (TryLock())
            return true;
    }
    return false;
}

void FileLock::Describe(const std::string& holder) {
    if (!locked_ || fd_ < 0)
        return;
    if (::ftruncate(fd_, 0) == 0) {
        const ssize_t n = ::pwrite(fd_, holder.data(), holder.size(), 0);
        (void)n;
    }
}

std::string FileLock::Holder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    char text[512];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

void FileLock::Unlock() {
    if (locked_ && fd_ >= 0)
        ::flock(fd_, LOCK_UN);
    locked_ = false;
}

SingleInstanceLock::SingleInstanceLock(const std::string& programFolder, const std::string& name)
    : lock_(programFolder + name + ".lock") {
    acquired_ = lock_.TryLock();
}

bool MonitorRunningIn(const std::string& programFolder, const std::string& name) {
    FileLock probe(programFolder + name + ".lock");
    if (!probe.TryLock())
        return probe.error().empty();
    return false;
}

std::string JobLockPath(const std::string& programFolder, const std::string& name) {
    return programFolder + name + ".jobs.lock";
}

} // namespace zenta
