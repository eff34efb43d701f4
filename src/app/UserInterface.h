#pragma once

#include <memory>
#include <string>

namespace zenta {

// Message boxes as the program shows them. The tray installs a Qt implementation; tests install
// a recorder; without either, a message is written to the program's log.
enum class MsgButtons { OK, YesNo };
enum class MsgIcon { None, Question, Information };
enum class MsgResult { OK, Yes, No };

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    virtual MsgResult Show(const std::string& text, MsgButtons buttons, MsgIcon icon,
                           MsgResult defaultButton) = 0;
};

void SetMessageSink(std::shared_ptr<MessageSink> sink);
MsgResult ShowMessage(const std::string& text, MsgButtons buttons = MsgButtons::OK,
                      MsgIcon icon = MsgIcon::None, MsgResult defaultButton = MsgResult::OK);

// Opening a file or address with the desktop's default application; replaceable for tests.
using DocumentOpener = bool (*)(const std::string&);
void SetDocumentOpener(DocumentOpener opener);
bool OpenDocument(const std::string& target);

// The program's title, the caption of every message box.
constexpr const char* kProgramTitle = "泽川商贸管理专家 ---- 监控程序";

} // namespace zenta
