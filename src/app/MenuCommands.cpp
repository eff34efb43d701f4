#include "MenuCommands.h"

#include "CompararDBEstructura.h"
#include "GlobalDatabase.h"
#include "HelperPrograms.h"
#include "Open.h"
#include "Printers.h"
#include "Recordings.h"
#include "UserInterface.h"

#include <memory>

namespace zenta {

namespace {
std::unique_ptr<clsOrdenadorEjecutando>& Workstations() {
    static std::unique_ptr<clsOrdenadorEjecutando> w;
    return w;
}
PrinterJobCanceller& Canceller() {
    static PrinterJobCanceller c = &CancelAllPrinterJobs;
    return c;
}
} // namespace

clsOrdenadorEjecutando& OrdenadorEjecutando() {
    if (!Workstations())
        Workstations() = std::make_unique<clsOrdenadorEjecutando>();
    return *Workstations();
}

void ReleaseOrdenadorEjecutando() {
    Workstations().reset();
}

void SetPrinterJobCanceller(PrinterJobCanceller canceller) {
    Canceller() = canceller ? canceller : &CancelAllPrinterJobs;
}

void CmdClearPrinterJobs() {
    if (ShowMessage("确实要清除打印队列中所有未打印的文档？", MsgButtons::YesNo, MsgIcon::Question,
                    MsgResult::No) != MsgResult::Yes)
        return;
    const PrintQueuesCleared cleared = Canceller()();
    if (cleared.Done()) {
        ShowMessage("成功清除打印队列中所有未打印的文档！");
        return;
    }
    std::string why = cleared.error;
    for (const auto& f : cleared.failures)
        why += (why.empty() ? "" : "\n") + f;
    ShowMessage("未能清除打印队列中的文档：\n" + why);
}

void CmdTodayRecording() {
    ShowTodayRecordings();
}

void CmdRecordingOnTime() {
    if (IsDVRRunning())
        OpenDocument("mms://localhost:" + std::to_string(kLiveStreamPort));
    else
        ShowMessage("录像中止！");
}

void CmdDBFormato() {
    if (!EnsureConnected()) {
        ShowMessage("数据库连接失败，无法检测！");
        return;
    }
    DataBase().SQLExecute("Flush Tables;");
    ShowMessage(CompareDBStructure() ? "恭喜，恭喜，数据库版本相符！"
                                     : "很抱歉，数据库版本不相符！");
}

void CmdRunningComputer() {
    if (!EnsureConnected()) {
        ShowMessage("数据库连接失败，无法处理！");
        return;
    }
    clsOrdenadorEjecutando& w = OrdenadorEjecutando();
    if (w.Count() != 0)
        ShowMessage("正在运行的电脑：" + w.List());
    else
        ShowMessage("没有正在运行的电脑！");
}

void CmdOpenThisServer() {
    OpenAnswer answer = OpenThisServer(false);
    if (answer.needsConfirmation) {
        if (ShowMessage("另一台电脑的数据库无法连接。如果它已被接替为主数据库，开放本机会造成两台"
                        "主数据库，两边的销售无法再合并。只有确定另一台没有被接替时才开放。\n\n" +
                            answer.text + "\n\n开放本机数据库接受销售吗？",
                        MsgButtons::YesNo, MsgIcon::Question, MsgResult::No) != MsgResult::Yes)
            return;
        answer = OpenThisServer(true);
    }
    ShowMessage((answer.opened ? "本机数据库已开放：" : "本机数据库未开放：") + answer.text,
                MsgButtons::OK, MsgIcon::Information);
}

} // namespace zenta
