#pragma once

#include <string>

namespace zenta {

// Held for the life of the program: an exclusive lock on "<name>.lock" in ZENTA_LOCK_DIR,
// else $XDG_RUNTIME_DIR, else /tmp. A second copy finds it taken.
class SingleInstanceLock {
  public:
    explicit SingleInstanceLock(const std::string& name);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool acquired() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
};

} // namespace zenta
