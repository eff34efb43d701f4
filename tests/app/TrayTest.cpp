// The tray window and its menu, driven through Qt without a display.
#include "ComputerIdentity.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "HelperPrograms.h"
#include "MenuCommands.h"
#include "QtInterfaces.h"
#include "Registry.h"
#include "StatusPanel.h"
#include "UserInterface.h"
#include "frmMain.h"

#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "tray_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

struct Shown {
    std::string text;
    MsgButtons buttons;
    MsgIcon icon;
    MsgResult defaultButton;
};

struct RecordingSink : MessageSink {
    std::vector<Shown> shown;
    MsgResult answer = MsgResult::No;
    MsgResult Show(const std::string& text, MsgButtons b, MsgIcon i, MsgResult d) override {
        shown.push_back({text, b, i, d});
        return b == MsgButtons::YesNo ? answer : MsgResult::OK;
    }
};

int cancelled = 0;
PrintQueuesCleared CountCancel() {
    ++cancelled;
    return {1, 1, {}, ""};
}
std::vector<std::string> opened;
bool RecordOpen(const std::string& t) {
    opened.push_back(t);
    return true;
}

} // namespace

class Tray : public DbTest {
  protected:
    void SetUp() override {
        App();
        DbTest::SetUp();
        sink_ = std::make_shared<RecordingSink>();
        SetMessageSink(sink_);
        SetPrinterJobCanceller(CountCancel);
        SetDocumentOpener(RecordOpen);
        cancelled = 0;
        opened.clear();
        Globals::LocalIP = "10.0.0.1";
    }
    void TearDown() override {
        ReleaseOrdenadorEjecutando();
        SetMessageSink(nullptr);
        SetPrinterJobCanceller(nullptr);
        SetDocumentOpener(nullptr);
        DbTest::TearDown();
    }
    void Trigger(frmMain& form, const char* caption) {
        QAction* a = form.MenuItem(QString::fromUtf8(caption));
        ASSERT_NE(a, nullptr) << caption;
        a->trigger();
    }
    std::shared_ptr<RecordingSink> sink_;
};

TEST_F(Tray, TheMenuHasItsEightLinesAndTheStructureCheckOnlyOnTheDatabaseComputer) {
    frmMain form;
    std::vector<std::string> lines;
    for (QAction* a : form.Menu().actions())
        lines.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    EXPECT_EQ(lines, (std::vector<std::string>{"清除打印队列中所有未打印的文档", "-", "本日录像",
                                               "实时录像", "-", "数据库版本信息", "数据库格式检查",
                                               "登录电脑显示"}));
    EXPECT_FALSE(form.MenuItem("数据库格式检查")->isEnabled());
    EXPECT_EQ(form.TrayIcon().toolTip().toStdString(), kProgramTitle);
    EXPECT_EQ(form.windowTitle().toStdString(), kProgramTitle);
    EXPECT_EQ(form.CloseButton().text().toStdString(), "关　闭");
    form.Load();
    EXPECT_TRUE(form.InTray());
    EXPECT_EQ(form.TitleLabel().text().toStdString(),
              "泽川商贸管理专家--监控程序\r\nVer." + ProgramVersionText());
    EXPECT_TRUE(form.MenuItem("数据库格式检查")->isEnabled());

    // A workstation: the same server, seen as another computer.
    WriteFile(AppPath() + "zentamarket.ini",
              "[MySQL]\r\nMySQLHost=127.0.0.2\r\nMySQLPort=" + std::to_string(DbPort()) + "\r\n");
    ReleaseDataBase();
    ServerIsLocal = false;
    frmMain workstation;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    workstation.Load([&] { return std::chrono::steady_clock::now() < deadline; });
    EXPECT_TRUE(DataBase().ConnectionStatus());
    EXPECT_FALSE(workstation.MenuItem("数据库格式检查")->isEnabled());
}

TEST_F(Tray, PrintQueuesAreClearedOnlyAfterYes) {
    frmMain form;
    Trigger(form, "清除打印队列中所有未打印的文档");
    ASSERT_EQ(sink_->shown.size(), 1u);
    EXPECT_EQ(sink_->shown[0].text, "确实要清除打印队列中所有未打印的文档？");
    EXPECT_EQ(sink_->shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(sink_->shown[0].icon, MsgIcon::Question);
    EXPECT_EQ(sink_->shown[0].defaultButton, MsgResult::No);
    EXPECT_EQ(cancelled, 0);
    sink_->answer = MsgResult::Yes;
    Trigger(form, "清除打印队列中所有未打印的文档");
    EXPECT_EQ(cancelled, 1);
    ASSERT_EQ(sink_->shown.size(), 3u);
    EXPECT_EQ(sink_->shown[2].text, "成功清除打印队列中所有未打印的文档！");
    EXPECT_EQ(sink_->shown[2].buttons, MsgButtons::OK);
    EXPECT_EQ(sink_->shown[2].icon, MsgIcon::None);
}

TEST_F(Tray, LiveStreamNeedsTheRecorder) {
    frmMain form;
    Trigger(form, "实时录像");
    ASSERT_EQ(sink_->shown.size(), 1u);
    EXPECT_EQ(sink_->shown[0].text, "录像中止！");
    EXPECT_TRUE(opened.empty());
    // A recorder that answers.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kRecorderPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(fd, 4);
    std::thread recorder([fd] {
        int c = ::accept(fd, nullptr, nullptr);
        char buf[16];
        ::recv(c, buf, sizeof buf, 0);
        ::send(c, "201", 3, MSG_NOSIGNAL);
        ::close(c);
    });
    Trigger(form, "实时录像");
    recorder.join();
    ::close(fd);
    EXPECT_EQ(opened, (std::vector<std::string>{"mms://localhost:5681"}));
}

TEST_F(Tray, StructureCheckAnswersWithTheSuitesMessages) {
    fs::create_directories(AppPath() + "Database");
    fs::copy_file(BinaryDir() + "/Database/MySQLSetup.dat", AppPath() + "Database/MySQLSetup.dat");
    WriteFile(AppPath() + "MySQLCompare.ini",
              "[Etalon]\r\nHost=127.0.0.1\r\n[Target]\r\nHost=127.0.0.1\r\n");
    frmMain form;
    form.Load();
    Trigger(form, "数据库格式检查");
    Sql("ALTER TABLE ticket DROP INDEX Fecha;");
    Trigger(form, "数据库格式检查");
    WriteFile(AppPath() + "zentamarket.ini", "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=1\r\n");
    ReleaseDataBase();
    Trigger(form, "数据库格式检查");
    std::vector<std::string> texts;
    for (auto& s : sink_->shown)
        texts.push_back(s.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"恭喜，恭喜，数据库版本相符！",
                                               "很抱歉，数据库版本不相符！",
                                               "数据库连接失败，无法检测！"}));
}

TEST_F(Tray, RunningComputersAreListedFromTheDatabase) {
    frmMain form;
    form.Load();
    Trigger(form, "登录电脑显示");
    Sql("INSERT INTO ordenadorejecutando VALUES ('1', 'ZentaMarket', '10.0.0.5', NOW()),"
        "('2', 'ZentaMarketPriAdv', '10.0.0.5', NOW()), ('3', 'ZentaMarketMan', '10.0.0.6', "
        "NOW());");
    Trigger(form, "登录电脑显示");
    WriteFile(AppPath() + "zentamarket.ini", "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=1\r\n");
    ReleaseDataBase();
    Trigger(form, "登录电脑显示");
    ASSERT_EQ(sink_->shown.size(), 3u);
    EXPECT_EQ(sink_->shown[0].text, "没有正在运行的电脑！");
    EXPECT_TRUE(sink_->shown[1].text == "正在运行的电脑：'10.0.0.5', '10.0.0.6'" ||
                sink_->shown[1].text == "正在运行的电脑：'10.0.0.6', '10.0.0.5'")
        << sink_->shown[1].text;
    EXPECT_EQ(sink_->shown[2].text, "数据库连接失败，无法处理！");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM ordenadorejecutando;"),
              "3\n"); // the monitor registers nothing
}

TEST_F(Tray, ThePanelIsRefreshedOnlyWhenItComesOutOfTheTray) {
    frmMain form;
    form.Load();
    Trigger(form, "数据库版本信息");
    EXPECT_FALSE(form.InTray());
    EXPECT_NE(form.VersionLabel().text().toStdString().find("MySQL ID: "), std::string::npos);
    form.VersionLabel().setText("unchanged");
    Trigger(form, "数据库版本信息"); // already showing: nothing
    EXPECT_EQ(form.VersionLabel().text().toStdString(), "unchanged");
    form.CloseButton().click();
    EXPECT_TRUE(form.InTray());
    EXPECT_TRUE(form.isHidden());
    // A double-click on the panel's icon ends the program.
    bool ended = false;
    form.OnEnd([&] { ended = true; });
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form.Icon(), &dbl);
    EXPECT_TRUE(ended);
}

TEST_F(Tray, StatusTextLineByLine) {
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('Version', 300);");
    clsRegistryRoutines reg;
    reg.hkey(HKEY_LOCAL_MACHINE);
    reg.KeyRoot("SOFTWARE\\MySQL AB\\MySQL ODBC Driver 3.51.17");
    reg.SetRegistryValue("Version", std::string("3.1.15"), REG_SZ);
    ConnectDataBase();
    const std::string text = RefreshStatusText();
    std::vector<std::string> lines;
    size_t pos = 0;
    for (;;) {
        size_t e = text.find("\r\n", pos);
        lines.push_back(text.substr(pos, e == std::string::npos ? std::string::npos : e - pos));
        if (e == std::string::npos)
            break;
        pos = e + 2;
    }
    ASSERT_EQ(lines.size(), 9u) << text;
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "数据库位置: 本地[" + DbDir() + "/data/]");
    EXPECT_EQ(lines[2], "数据库版本 Ver. 3.00");
    EXPECT_EQ(lines[3], "MySQL版本 Ver. " + DataBase().MySQLVersion() + " [" +
                            std::to_string(DbPort()) + "]");
    EXPECT_EQ(lines[4], "MyODBC版本 Ver. 3.1.15");
    EXPECT_EQ(lines[5], "InnoDB锁定超时: 50");
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7], "本机  IP: " + GetLocalIP());
    EXPECT_EQ(lines[8], "MySQL ID: " + DataBase().ConnectionID());

    Sql("DELETE FROM opcion WHERE ID = 'Version';");
    WriteFile(AppPath() + "zentamarket.ini",
              "[MySQL]\r\nMySQLHost=127.0.0.2\r\nMySQLPort=" + std::to_string(DbPort()) + "\r\n");
    const std::string remote = RefreshStatusText();
    EXPECT_NE(
        remote.find("\r\n数据库位置: 127.0.0.2[" + DbDir() + "/data/]\r\n数据库版本 Ver. \r\n"),
        std::string::npos);
}

TEST_F(Tray, RealMessageBoxesCarryTheTitleButtonsAndDefault) {
    QtMessageSink real;
    std::string title, text;
    bool yesNo = false, defaultNo = false, question = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        title = box->windowTitle().toStdString();
        text = box->text().toStdString();
        yesNo = box->standardButtons() == (QMessageBox::Yes | QMessageBox::No);
        defaultNo = box->defaultButton() == box->button(QMessageBox::No);
        question = box->icon() == QMessageBox::Question;
        box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(real.Show("确实要清除打印队列中所有未打印的文档？", MsgButtons::YesNo,
                        MsgIcon::Question, MsgResult::No),
              MsgResult::No);
    EXPECT_EQ(title, kProgramTitle);
    EXPECT_EQ(text, "确实要清除打印队列中所有未打印的文档？");
    EXPECT_TRUE(yesNo);
    EXPECT_TRUE(defaultNo);
    EXPECT_TRUE(question);
}
