#include "Hourglass.h"

namespace zenta {

namespace {
std::shared_ptr<BusyPointer>& Current() {
    static std::shared_ptr<BusyPointer> p;
    return p;
}
} // namespace

void SetBusyPointer(std::shared_ptr<BusyPointer> pointer) {
    Current() = std::move(pointer);
}

Hourglass::Hourglass() : pointer_(Current()) {
    if (pointer_)
        pointer_->Show();
}

Hourglass::~Hourglass() {
    if (pointer_)
        pointer_->Restore();
}

} // namespace zenta
