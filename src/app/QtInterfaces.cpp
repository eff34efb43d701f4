#include "QtInterfaces.h"

#include "Process.h"

#include <QApplication>
#include <QMessageBox>

namespace zenta {

MsgResult QtMessageSink::Show(const std::string& text, MsgButtons buttons, MsgIcon icon,
                              MsgResult defaultButton) {
    QMessageBox box;
    box.setWindowTitle(QString::fromUtf8(kProgramTitle));
    box.setText(QString::fromStdString(text));
    box.setIcon(icon == MsgIcon::Question      ? QMessageBox::Question
                : icon == MsgIcon::Information ? QMessageBox::Information
                                               : QMessageBox::NoIcon);
    if (buttons == MsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(defaultButton == MsgResult::Yes ? QMessageBox::Yes : QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int answer = box.exec();
    // The box was closed by the program's end, not by the user: nothing was agreed to.
    if (StopRequested())
        return buttons == MsgButtons::YesNo ? MsgResult::No : MsgResult::OK;
    if (answer == QMessageBox::Yes)
        return MsgResult::Yes;
    if (answer == QMessageBox::No)
        return MsgResult::No;
    return MsgResult::OK;
}

void QtBusyPointer::Show() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtBusyPointer::Restore() {
    QApplication::restoreOverrideCursor();
}

} // namespace zenta
