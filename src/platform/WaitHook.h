#pragma once

#include <functional>

namespace zenta {

// What a long wait (an archiver, a transfer, a copy onto a drive) calls every few tens of
// milliseconds, so that the tray keeps answering and a terminal shows progress.
void SetWaitHook(std::function<void()> hook);
// Calls the wait hook, if any.
void CallWaitHook();

} // namespace zenta
