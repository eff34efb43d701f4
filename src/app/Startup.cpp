#include "Startup.h"

#include "AutoRunProc.h"
#include "BackupAll.h"
#include "Common.h"
#include "ComputerIdentity.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "HelperPrograms.h"
#include "IPUpdate.h"
#include "Process.h"
#include "ProgramSetUp.h"
#include "QtInterfaces.h"
#include "ServiceNotification.h"
#include "SetRunHotKey.h"
#include "Settings.h"
#include "SingleInstance.h"
#include "frmMain.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zenta {

namespace {

std::atomic<bool> terminationRequested{false};
int signalPipe[2] = {-1, -1};

// Wakes the event loop: the end is asked for there, not in the handler.
void OnSignal() {
    terminationRequested = true;
    const char c = 1;
    ssize_t ignored = ::write(signalPipe[1], &c, 1);
    (void)ignored;
}

bool HasDisplay() {
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}

// Why this user cannot use the program folder, and the one command that fixes it.
std::string FolderProblem(const std::string& folder, const std::string& error) {
    const std::string user = UserName(::geteuid());
    if (::access(folder.c_str(), W_OK) != 0 && errno == EROFS)
        return "the program folder " + folder + " is on a disk mounted read-only (" + error +
               "). Fix: mount it read-write again (sudo mount -o remount,rw on its mount "
               "point), or ask the technician to check the disk.";
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return "the program folder " + folder + " does not exist (" + error +
               "). Fix: sudo apt install --reinstall zentamarket-monitor";
    const group* gr = ::getgrgid(st.st_gid);
    const std::string name = GroupName(st.st_gid);
    bool inSession = ::getegid() == st.st_gid;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(0, ::getgroups(0, nullptr))));
    if (!groups.empty() && ::getgroups(static_cast<int>(groups.size()), groups.data()) >= 0)
        inSession = inSession || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    bool listed = false;
    for (char** m = gr ? gr->gr_mem : nullptr; m && *m; ++m)
        listed = listed || user == *m;
    if (!inSession && listed)
        return user + " was added to the group " + name + " after this session began, so the " +
               "program folder " + folder + " cannot be used yet (" + error +
               "). Fix: log out and log in again.";
    if (!inSession)
        return user + " is not in the group " + name + " that the program folder " + folder +
               " belongs to (" + error + "). Fix: sudo usermod -aG " + name + " " + user +
               " , then log out and log in again.";
    return "the program folder " + folder + " cannot be used by " + user + " (" + error +
           "). Fix: sudo chmod 2775 '" + folder + "' && sudo chmod 2770 '" + folder + "Log' '" +
           folder + "Backup' '" + folder + "Temp'";
}

// In a desktop session the problem is also shown, once a session: nobody there reads the
// program's error output.
void TellDesktopUser(int argc, char** argv, const std::string& text) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string marker;
    if (runtime && *runtime) {
        marker = std::string(runtime) + "/zentamarket-monitor-told-" +
                 std::to_string(std::hash<std::string>{}(Globals::AppPath));
        if (::access(marker.c_str(), F_OK) == 0)
            return;
    }
    QApplication app(argc, argv);
    QMessageBox box(QMessageBox::Warning, QStringLiteral("ZentaMarket monitor cannot start"),
                    QString::fromStdString("The ZentaMarket monitor cannot start: " + text));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse); // the fix can be copied
    box.exec();
    if (!marker.empty())
        if (std::FILE* f = std::fopen(marker.c_str(), "w"))
            std::fclose(f);
}

} // namespace

namespace {

// A service has no session runtime folder; the toolkit wants one (and warns without it).
void PrepareToolkit(bool display) {
    if (!display)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) {
        std::error_code ec;
        const std::string own = Globals::AppPath + "Temp/runtime-" + std::to_string(::getuid());
        std::filesystem::create_directories(own, ec);
        ::chmod(own.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", own.c_str(), 1);
    }
}

void SetUpToolkit(bool display) {
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("ZentaMarketMonitor"));
    SetMessageSink(std::make_shared<QtMessageSink>());
    if (display)
        SetBusyPointer(std::make_shared<QtBusyPointer>());
    // Long waits (packing a backup, a head-office request) keep the tray answering.
    SetWaitHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); });
}

// A stop signal (through the pipe its handler writes to) or the end of the desktop session
// (the session manager asks us to save) ends the program.
void EndOnSignalOrLogout(QApplication& app, QSocketNotifier& stopPipe,
                         const std::function<void()>& end) {
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [end] { end(); });
    QObject::connect(&stopPipe, &QSocketNotifier::activated, &app, [end] {
        char buf[16];
        while (::read(signalPipe[0], buf, sizeof buf) > 0) {
        }
        end();
    });
}

// 8, 9, 10: recorder and scanner programs, and the hot keys through their own display
// connection.
void StartHelpersAndHotKeys(frmMain& form) {
    if (GetSettingBool("VideoGrabber", "AutoRecord", "0"))
        StartDVRService();
    if (GetSettingBool("KeyBoard", "UsarRS232EscanerCodigoBarra", "0"))
        StartHidden("ZentaCom2Key.dll");
    if (SetHotKeys()) {
        auto* keys = new QSocketNotifier(HotKeyConnection(), QSocketNotifier::Read, &form);
        QObject::connect(keys, &QSocketNotifier::activated, &form, [] { DispatchHotKeys(); });
        DispatchHotKeys();
    } else {
        WriteProgramLog("no X11 display: the hot keys are not installed");
    }
}

// 12, 13: the companion programs, then what belongs to the computer with the database.
void StartTheShop(frmMain& form) {
    NotifyServiceManager(ServerIsLocal ? "READY=1\nSTATUS=running the start-up cycle"
                                       : "READY=1\nSTATUS=running (the database is on another "
                                         "computer)");
    if (GetSettingBool("Ejecutar", "AutoEjecutarManager", "0"))
        StartHidden("ZentaMarketMan.exe");
    if (GetSettingBool("Ejecutar", "AutoEjecutar", "0"))
        StartHidden("ZentaMarket.exe");
    if (GetSettingBool("Ejecutar", "AutoEjecutarPriAdv", "0"))
        StartHidden("ZentaMarketPriAdv.exe");
    if (!ServerIsLocal || terminationRequested)
        return;
    StartServerService();
    AutoRunProc();
    form.UpdateBackupHealth();
    form.AutoRunEnabled(true);
    CopyAndStartHelper("GoodsPicSync");
    if (!terminationRequested)
        RunUnderJobLock("IP report", IPUpdateProc);
    form.IPUpdateEnabled(true);
}

// The program folder cannot be used: said on the error output and, on a desktop, to its user.
int RefuseUnusableFolder(const std::string& error, int argc, char** argv) {
    const std::string text = FolderProblem(Globals::AppPath, error);
    std::fprintf(stderr, "%s: %s\n", Globals::ExecutableName.c_str(), text.c_str());
    if (HasDisplay())
        TellDesktopUser(argc, argv, text);
    return 2;
}

} // namespace

int Main(int argc, char** argv) {
    // 1–3: program folder, error mode, this computer's address.
    SetUpProgramGlobals(false);
    // 5: a second copy ends here, silently.
    SingleInstanceLock instance(Globals::AppPath, Globals::ExecutableName);
    if (instance.unavailable())
        return RefuseUnusableFolder(instance.error(), argc, argv);
    if (!instance.acquired())
        return 0;
    // A run that was killed may have left the shop's table exports in the working folder
    // (unless a one-shot command of this folder is at work in it right now).
    RunUnderJobLock("start-up clean-up", CleanBackupWorkFolder, std::chrono::milliseconds(0));
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0)
        HandleStopSignals(OnSignal);
    const bool display = HasDisplay();
    PrepareToolkit(display);
    QApplication app(argc, argv);
    SetUpToolkit(display);
    WriteProgramLog("started, version " + ProgramVersionText());
    frmMain form;
    // The end is only asked for here: a job in progress (a backup packing while the tray keeps
    // answering) runs to its end first, and the form is unloaded once the event loop is left.
    auto end = [&] {
        terminationRequested = true;
        RequestStop();
        form.AllowClose();
        // exit(), not quit(): Qt 6's quit() first asks every window to close, and the panel
        // (or an open message box) would turn it down. exit() leaves every event loop,
        // nested ones included.
        app.exit(0);
    };
    auto finish = [&] {
        NotifyServiceManager("STOPPING=1");
        form.Unload();
        WriteProgramLog("ended");
        return 0;
    };
    form.OnEnd(end);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    EndOnSignalOrLogout(app, signalNotifier, end);
    // 7: the form's load, which waits for the database.
    NotifyServiceManager("STATUS=waiting for the database at " + ConfiguredMySQLHost() + ":" +
                         std::to_string(ConfiguredMySQLPort()));
    form.Load([] { return !terminationRequested.load(); });
    if (!form.TrayAvailable())
        WriteProgramLog(display ? "no system tray: running without the tray icon"
                                : "no display: running without the tray icon");
    if (terminationRequested)
        return finish();
    StartHelpersAndHotKeys(form);
    // 11: connected (the form's load waited for it).
    if (DataBase().ConnectionStatus())
        StartTheShop(form);
    if (!terminationRequested)
        app.exec();
    return finish();
}

} // namespace zenta
