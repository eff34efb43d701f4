#pragma once

#include <functional>

namespace zenta {

// What a long wait (an archiver, a transfer, a copy onto a drive) calls every few tens of
// milliseconds, so that the tray keeps answering and a terminal shows progress.
void SetWaitHook(std::function<void()> hook);
// Calls the wait hook, if any, and the scoped ones below.
void CallWaitHook();

// A hook called besides the main one while the object lives (a step that shows its own
// progress during a long wait).
class ScopedWaitHook {
  public:
    explicit ScopedWaitHook(std::function<void()> hook);
    ~ScopedWaitHook();
    ScopedWaitHook(const ScopedWaitHook&) = delete;
    ScopedWaitHook& operator=(const ScopedWaitHook&) = delete;

  private:
    std::function<void()> previous_;
};

} // namespace zenta
