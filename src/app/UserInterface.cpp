#include "UserInterface.h"

#include "ErrorMode.h"
#include "Process.h"

namespace zenta {

namespace {
std::shared_ptr<MessageSink>& Sink() {
    static std::shared_ptr<MessageSink> sink;
    return sink;
}
DocumentOpener& Opener() {
    static DocumentOpener opener = &OpenWithDesktop;
    return opener;
}
} // namespace

void SetMessageSink(std::shared_ptr<MessageSink> sink) {
    Sink() = std::move(sink);
}

MsgResult ShowMessage(const std::string& text, MsgButtons buttons, MsgIcon icon,
                      MsgResult defaultButton) {
    if (Sink())
        return Sink()->Show(text, buttons, icon, defaultButton);
    WriteProgramLog("message: " + text);
    return defaultButton;
}

void SetDocumentOpener(DocumentOpener opener) {
    Opener() = opener ? opener : &OpenWithDesktop;
}

bool OpenDocument(const std::string& target) {
    return Opener()(target);
}

} // namespace zenta
