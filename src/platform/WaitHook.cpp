#include "WaitHook.h"

namespace zenta {

namespace {

std::function<void()>& Hook() {
    static std::function<void()> hook;
    return hook;
}

std::function<void()>& Scoped() {
    static std::function<void()> hook;
    return hook;
}

} // namespace

void SetWaitHook(std::function<void()> hook) {
    Hook() = std::move(hook);
}

void CallWaitHook() {
    if (Scoped())
        Scoped()();
    if (Hook())
        Hook()();
}

ScopedWaitHook::ScopedWaitHook(std::function<void()> hook) : previous_(std::move(Scoped())) {
    Scoped() = [hook = std::move(hook), previous = previous_] {
        hook();
        if (previous)
            previous();
    };
}

ScopedWaitHook::~ScopedWaitHook() {
    Scoped() = std::move(previous_);
}

} // namespace zenta
