#pragma once

namespace zenta {

// Marks a job as running for the guard's lifetime. A job entered again while it runs (a timer
// handled while it waits) finds the flag set and returns at once.
class BusyGuard {
  public:
    explicit BusyGuard(bool& flag) : flag_(flag), acquired_(!flag) { flag_ = true; }
    ~BusyGuard() {
        if (acquired_)
            flag_ = false;
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    bool acquired() const { return acquired_; }

  private:
    bool& flag_;
    bool acquired_;
};

} // namespace zenta
