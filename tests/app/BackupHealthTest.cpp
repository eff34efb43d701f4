// What only a real desktop shows of the backup warning (the rule itself is tested as a function):
// the icon, the tool-tip and the once-a-day balloon on a real X server with a real notification
// area (Xvfb and trayer started by the test), and their clearing.
#include "AutoBackupData.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "JobOutcomes.h"
#include "Settings.h"
#include "UserInterface.h"
#include "frmMain.h"

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

namespace {

// The X server and the tray host live as long as the test program.
struct Desktop {
    int xvfb = -1, trayer = -1;
    bool ok = false;
    Desktop() {
        if (!Have("Xvfb") || !Have("trayer"))
            return;
        std::string display;
        xvfb = StartXServer(display);
        if (xvfb < 0)
            return;
        ::setenv("DISPLAY", display.c_str(), 1);
        ::unsetenv("QT_QPA_PLATFORM");
        const bool probe = Have("xdotool");
        for (int i = 0; probe && i < 400 && Shell("xdotool getdisplaygeometry >/dev/null 2>&1");
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        trayer = Spawn({"trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel",
                        "--width", "120", "--heighttype", "pixel", "--height", "32"});
        for (int i = 0; probe && i < 400 && Shell("xdotool search --class trayer >/dev/null"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(probe ? 300 : 800));
        ok = true;
    }
    ~Desktop() {
        StopSpawned(trayer);
        StopSpawned(xvfb);
    }
};

Desktop& TheDesktop() {
    static Desktop desktop;
    return desktop;
}

QApplication& App() {
    static int argc = 1;
    static char name[] = "tray_x_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

QImage Picture(const QIcon& icon) {
    return icon.pixmap(32, 32).toImage();
}

std::string Stamp(std::time_t t) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return text;
}

} // namespace

class BackupWarning : public DbTest {
  protected:
    void SetUp() override {
        if (!TheDesktop().ok)
            GTEST_SKIP() << "Xvfb and trayer are needed (packages xvfb, trayer)";
        App();
        DbTest::SetUp();
        ConnectDataBase();
        ASSERT_TRUE(ServerIsLocal);
        fs::create_directories(AppPath() + "Backup");
    }
};

TEST_F(BackupWarning, TheTrayWarnsWhileBackupsAreOldOrFailingAndClearsAfterAGoodOne) {
    frmMain form;
    form.Load();
    for (int i = 0; i < 20 && !form.TrayAvailable(); ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 100);
    ASSERT_TRUE(form.TrayAvailable()) << "trayer gives no notification area";
    const QString title = QString::fromUtf8(kProgramTitle);

    // Three days without a good backup.
    RecordOutcome("Backup", {{"Time", Stamp(std::time(nullptr) - 3 * 86400)},
                             {"Result", "good"},
                             {"LastGoodTime", Stamp(std::time(nullptr) - 3 * 86400)}});
    form.UpdateBackupHealth();
    EXPECT_TRUE(form.TrayIcon().toolTip().contains(QStringLiteral("已经 3 天没有成功的备份")))
        << form.TrayIcon().toolTip().toStdString();
    EXPECT_NE(Picture(form.TrayIcon().icon()), Picture(ProgramIcon()));
    EXPECT_EQ(Picture(form.TrayIcon().icon()), Picture(WarningIcon()));
    EXPECT_EQ(form.WarningBalloonsShown(), 1);
    EXPECT_TRUE(form.BackupLabel().text().contains(QStringLiteral("72 小时前")))
        << form.BackupLabel().text().toStdString();

    // A failed attempt: still warned, but the balloon only once a day.
    RecordOutcome("Backup", {{"Time", Stamp(std::time(nullptr))}, {"Result", "failed"}});
    form.UpdateBackupHealth();
    EXPECT_TRUE(form.TrayIcon().toolTip().contains(QStringLiteral("最近一次备份失败")));
    EXPECT_EQ(form.WarningBalloonsShown(), 1);

    // A good backup clears it all; a later warning is told again.
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1);");
    AutoBackup();
    form.UpdateBackupHealth();
    EXPECT_EQ(form.TrayIcon().toolTip(), title) << form.TrayIcon().toolTip().toStdString();
    EXPECT_EQ(Picture(form.TrayIcon().icon()), Picture(ProgramIcon()));
    RecordOutcome("Backup", {{"Result", "incomplete"}});
    form.UpdateBackupHealth();
    EXPECT_EQ(form.WarningBalloonsShown(), 2);
    form.Unload();
}
