#pragma once

#include <memory>

namespace zenta {

// The application-wide busy pointer. Long operations show it through this interface; the tray
// installs an implementation, and without one (no display) it does nothing.
class BusyPointer {
  public:
    virtual ~BusyPointer() = default;
    virtual void Show() = 0;    // push the hourglass
    virtual void Restore() = 0; // back to what was there before the matching Show
};

void SetBusyPointer(std::shared_ptr<BusyPointer> pointer);

// Shows the hourglass for its lifetime; nests.
class Hourglass {
  public:
    Hourglass();
    ~Hourglass();
    Hourglass(const Hourglass&) = delete;
    Hourglass& operator=(const Hourglass&) = delete;

  private:
    std::shared_ptr<BusyPointer> pointer_;
};

} // namespace zenta
