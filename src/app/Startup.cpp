#include "Startup.h"

#include "AutoRunProc.h"
#include "BackupAll.h"
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
#include <QSocketNotifier>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

int Main(int argc, char** argv) {
    // 1–3: program folder, error mode, this computer's address.
    SetUpProgramGlobals(false);
    std::error_code ec;

    // 5: a second copy ends here, silently.
    SingleInstanceLock instance(Globals::AppPath, Globals::ExecutableName);
    if (instance.unavailable()) {
        std::fprintf(stderr, "%s: %s\n", Globals::ExecutableName.c_str(), instance.error().c_str());
        return 2;
    }
    if (!instance.acquired())
        return 0;
    // A run that was killed may have left the shop's table exports in the working folder
    // (unless a one-shot command of this folder is at work in it right now).
    RunUnderJobLock("start-up clean-up", CleanBackupWorkFolder, std::chrono::milliseconds(0));

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0)
        HandleStopSignals(OnSignal);
    const bool display = HasDisplay();
    if (!display)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // A service has no session runtime folder; the toolkit wants one (and warns without it).
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) {
        const std::string own = Globals::AppPath + "Temp/runtime-" + std::to_string(::getuid());
        std::filesystem::create_directories(own, ec);
        ::chmod(own.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", own.c_str(), 1);
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("ZentaMarketMonitor"));
    SetMessageSink(std::make_shared<QtMessageSink>());
    if (display)
        SetBusyPointer(std::make_shared<QtBusyPointer>());
    // Long waits (packing a backup, a head-office request) keep the tray answering.
    SetWaitHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); });

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
    // The desktop session ends: the session manager asks us to save, and we end.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [&] { end(); });
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char buf[16];
        while (::read(signalPipe[0], buf, sizeof buf) > 0) {
        }
        end();
    });

    // 7: the form's load, which waits for the database.
    NotifyServiceManager("STATUS=waiting for the database at " +
                         GetSetting("MySQL", "MySQLHost", "localhost") + ":" +
                         std::to_string(ConfiguredMySQLPort()));
    form.Load([] { return !terminationRequested.load(); });
    if (!form.TrayAvailable())
        WriteProgramLog(display ? "no system tray: running without the tray icon"
                                : "no display: running without the tray icon");
    if (terminationRequested)
        return finish();

    // 8, 9: recorder and scanner programs.
    if (GetSettingBool("VideoGrabber", "AutoRecord", "0"))
        StartDVRService();
    if (GetSettingBool("KeyBoard", "UsarRS232EscanerCodigoBarra", "0"))
        StartHidden("ZentaCom2Key.dll");

    // 10: the hot keys, through their own display connection.
    if (SetHotKeys()) {
        auto* keys = new QSocketNotifier(HotKeyConnection(), QSocketNotifier::Read, &form);
        QObject::connect(keys, &QSocketNotifier::activated, &form, [] { DispatchHotKeys(); });
        DispatchHotKeys();
    } else {
        WriteProgramLog("no X11 display: the hot keys are not installed");
    }

    // 11: connected (the form's load waited for it).
    if (!DataBase().ConnectionStatus()) {
        app.exec();
        return finish();
    }

    NotifyServiceManager(ServerIsLocal ? "READY=1\nSTATUS=running the start-up cycle"
                                       : "READY=1\nSTATUS=running (the database is on another "
                                         "computer)");
    // 12: companion programs.
    if (GetSettingBool("Ejecutar", "AutoEjecutarManager", "0"))
        StartHidden("ZentaMarketMan.exe");
    if (GetSettingBool("Ejecutar", "AutoEjecutar", "0"))
        StartHidden("ZentaMarket.exe");
    if (GetSettingBool("Ejecutar", "AutoEjecutarPriAdv", "0"))
        StartHidden("ZentaMarketPriAdv.exe");

    // 13: the rest belongs to the computer with the database.
    if (ServerIsLocal && !terminationRequested) {
        StartServerService();
        AutoRunProc();
        form.UpdateBackupHealth();
        form.AutoRunEnabled(true);
        CopyAndStartHelper("GoodsPicSync");
        if (!terminationRequested)
            RunUnderJobLock("IP report", IPUpdateProc);
        form.IPUpdateEnabled(true);
    }
    if (!terminationRequested)
        app.exec();
    return finish();
}

} // namespace zenta
