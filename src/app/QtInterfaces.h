#pragma once

#include "Hourglass.h"
#include "UserInterface.h"

namespace zenta {

// Message boxes with the program's title as caption.
class QtMessageSink : public MessageSink {
  public:
    MsgResult Show(const std::string& text, MsgButtons buttons, MsgIcon icon,
                   MsgResult defaultButton) override;
};

// The application-wide hourglass pointer.
class QtBusyPointer : public BusyPointer {
  public:
    void Show() override;
    void Restore() override;
};

} // namespace zenta
