#include "WaitHook.h"

namespace zenta {

namespace {

std::function<void()>& Hook() {
    static std::function<void()> hook;
    return hook;
}

} // namespace

void SetWaitHook(std::function<void()> hook) {
    Hook() = std::move(hook);
}

void CallWaitHook() {
    if (Hook())
        Hook()();
}

} // namespace zenta
