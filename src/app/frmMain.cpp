#include "frmMain.h"

#include "BackupHealth.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "IPUpdate.h"
#include "MenuCommands.h"
#include "PairRecord.h"
#include "Process.h"
#include "SetRunHotKey.h"
#include "StatusPanel.h"
#include "UserInterface.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>
#include <ctime>

namespace zenta {

namespace {
QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

QIcon ProgramIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x1f, 0x7a, 0x4d));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(2, 2, 60, 60, 12, 12);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(40);
    p.setFont(f);
    p.drawText(pixmap.rect(), Qt::AlignCenter, "Z");
    return QIcon(pixmap);
}

frmMain::frmMain()
    : dispatcher_(
          [this] {
              AutoRunProc();
              UpdateBackupHealth();
          },
          [this] {
              RunUnderJobLock("IP report", IPUpdateProc);
              // Hourly: a backup that has grown too old shows without waiting for a cycle.
              UpdateBackupHealth();
          }) {
    setWindowTitle(Q(kProgramTitle));
    setWindowIcon(ProgramIcon());
    QFont font(QStringLiteral("SimSun"));
    font.setStyleHint(QFont::Serif);
    lblTitle_.setFont(font);
    lblVersion_.setFont(font);
    lblTitle_.setAlignment(Qt::AlignCenter);
    lblVersion_.setTextInteractionFlags(Qt::TextSelectableByMouse);
    picIcon_.setPixmap(ProgramIcon().pixmap(48, 48));
    picIcon_.setToolTip(QStringLiteral("双击结束监控程序"));
    picIcon_.installEventFilter(this);
    cmdClose_.setText(QStringLiteral("关　闭"));

    auto* top = new QHBoxLayout;
    top->addWidget(&picIcon_, 0, Qt::AlignTop);
    top->addWidget(&lblTitle_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(&lblVersion_, 1);
    lblBackup_.setFont(font);
    lblBackup_.setWordWrap(true);
    layout->addWidget(&lblBackup_);
    layout->addWidget(&cmdClose_, 0, Qt::AlignRight);
    resize(420, 300);

    BuildMenu();
    tray_.setIcon(ProgramIcon());
    tray_.setToolTip(Q(kProgramTitle));
    tray_.setContextMenu(&menu_);
    QObject::connect(&tray_, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::DoubleClick) {
                             if (inTray_)
                                 ShowPanel();
                             else
                                 HideToTray();
                         }
                     });
    QObject::connect(&cmdClose_, &QPushButton::clicked, this, [this] {
        if (!inTray_)
            HideToTray();
    });
    ConnectTimers();
}

void frmMain::ConnectTimers() {
    tmrAutoRunProc_.setInterval(JobDispatcher::kIntervalMs);
    tmrIPUpdateProc_.setInterval(JobDispatcher::kIntervalMs);
    QObject::connect(&tmrAutoRunProc_, &QTimer::timeout, this,
                     [this] { dispatcher_.AutoRunTick(); });
    QObject::connect(&tmrIPUpdateProc_, &QTimer::timeout, this,
                     [this] { dispatcher_.IPUpdateTick(); });
    // The copy follows the server on a connection of its own, during the jobs too; the
    // finishing of copied files (packing, the drive) waits until no job runs, on a timer of its
    // own: while it packs, the looks go on (a timer does not fire again inside its own slot).
    tmrServices_.setInterval(DatabaseServices::kIntervalMs);
    QObject::connect(&tmrServices_, &QTimer::timeout, this, [this] {
        const DatabaseServices::After after = services_.Look();
        if (after.healthChanged)
            UpdateBackupHealth();
        if (after.runCycle)
            AutoRunProc();
    });
    tmrFinish_.setInterval(DatabaseServices::kIntervalMs);
    QObject::connect(&tmrFinish_, &QTimer::timeout, this, [this] {
        if (!JobInProgress())
            services_.Finish();
    });
}

frmMain::~frmMain() {
    Unload();
}

void frmMain::BuildMenu() {
    menu_.setTitle(QStringLiteral("&File"));
    auto add = [this](const char* caption, void (*command)()) {
        QAction* a = menu_.addAction(QString::fromUtf8(caption));
        QObject::connect(a, &QAction::triggered, this, [command] { command(); });
        return a;
    };
    add("清除打印队列中所有未打印的文档", CmdClearPrinterJobs);
    menu_.addSeparator();
    add("本日录像", CmdTodayRecording);
    add("实时录像", CmdRecordingOnTime);
    menu_.addSeparator();
    QAction* version = menu_.addAction(QStringLiteral("数据库版本信息"));
    QObject::connect(version, &QAction::triggered, this, [this] {
        if (inTray_)
            ShowPanel();
    });
    add("数据库格式检查", CmdDBFormato)->setEnabled(false);
    if (ConfiguredPartner()) {
        menu_.addSeparator();
        add("开放本机数据库（双机：另一台无法连接时）…", CmdOpenThisServer);
    }
    add("登录电脑显示", CmdRunningComputer);
}

QAction* frmMain::MenuItem(const QString& caption) const {
    for (QAction* a : menu_.actions())
        if (a->text() == caption)
            return a;
    return nullptr;
}

bool frmMain::TrayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void frmMain::Load(const std::function<bool()>& keepTrying) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect r = screen->availableGeometry();
        move(r.x() + (r.width() - width()) / 2, r.y() + (r.height() - height()) / 2);
    }
    setWindowTitle(Q(kProgramTitle));
    // With a display the icon is shown even when no notification area is up yet (it embeds
    // once the panel starts); without one there is nowhere to show it.
    if (QGuiApplication::platformName() != QStringLiteral("offscreen"))
        tray_.show();
    if (TrayAvailable())
        tray_.showMessage(
            QStringLiteral("泽川商贸管理专家"),
            QStringLiteral("专业收款，尽在弹指一挥间；\r\n轻松管理，皆因运筹帷幄中！"),
            QSystemTrayIcon::Information, 10000);
    lblTitle_.setText(Q(TitleText()));
    tmrAutoRunProc_.stop();
    tmrIPUpdateProc_.stop();
    dispatcher_.AutoRunEnabled(false);
    dispatcher_.IPUpdateEnabled(false);
    HideToTray();
    if (!DataBase().ConnectionStatus())
        ConnectDataBase();
    while (!DataBase().ConnectionStatus() && keepTrying()) {
        // The tray keeps answering while the database is away (its icon, menu and panel;
        // the panel's icon ends the program as ever).
        for (int i = 0; i < 10 && keepTrying(); ++i) {
            CallWaitHook();
            QThread::msleep(80);
        }
        if (keepTrying())
            ConnectDataBase();
    }
    if (DataBase().ConnectionStatus() && ServerIsLocal) {
        if (QAction* check = MenuItem(QStringLiteral("数据库格式检查")))
            check->setEnabled(true);
        services_.Start();
        tmrServices_.start();
        tmrFinish_.start();
    }
}

void frmMain::Unload() {
    if (unloaded_)
        return;
    unloaded_ = true;
    tmrAutoRunProc_.stop();
    tmrIPUpdateProc_.stop();
    tmrServices_.stop();
    tmrFinish_.stop();
    services_.Stop();
    if (HotKeysInstalled())
        UnsetHotKeys();
    ReleaseOrdenadorEjecutando();
    ReleaseDataBase();
    tray_.hide();
}

QIcon WarningIcon() {
    QPixmap pixmap = ProgramIcon().pixmap(64, 64);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0xd9, 0x30, 0x25));
    p.setPen(QPen(Qt::white, 3));
    p.drawEllipse(30, 30, 32, 32);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(26);
    p.setFont(f);
    p.drawText(QRect(30, 30, 32, 32), Qt::AlignCenter, "!");
    return QIcon(pixmap);
}

void frmMain::UpdateBackupHealth() {
    if (!ServerIsLocal)
        return;
    const BackupHealth health = CurrentBackupHealth(std::time(nullptr));
    lblBackup_.setText(Q(health.panel));
    if (!health.warn) {
        tray_.setIcon(ProgramIcon());
        tray_.setToolTip(Q(kProgramTitle));
        balloonDay_.clear(); // a new warning is told again at once
        return;
    }
    tray_.setIcon(WarningIcon());
    tray_.setToolTip(Q(kProgramTitle) + "\n" + Q(health.reason));
    const std::string today = DateTime::Today().DateText();
    if (balloonDay_ != today) {
        balloonDay_ = today;
        ++balloons_;
        if (TrayAvailable())
            tray_.showMessage(Q(kProgramTitle), Q(health.reason), QSystemTrayIcon::Warning, 15000);
    }
}

void frmMain::AutoRunEnabled(bool enabled) {
    dispatcher_.AutoRunEnabled(enabled);
    if (enabled)
        tmrAutoRunProc_.start();
    else
        tmrAutoRunProc_.stop();
}

void frmMain::IPUpdateEnabled(bool enabled) {
    dispatcher_.IPUpdateEnabled(enabled);
    if (enabled)
        tmrIPUpdateProc_.start();
    else
        tmrIPUpdateProc_.stop();
}

void frmMain::RefreshStatus() {
    const std::string text = RefreshStatusText();
    if (!text.empty())
        lblVersion_.setText(Q(text));
}

void frmMain::ShowPanel() {
    RefreshStatus();
    show();
    raise();
    activateWindow();
    inTray_ = false;
}

void frmMain::HideToTray() {
    hide();
    inTray_ = true;
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &picIcon_ && event->type() == QEvent::MouseButtonDblClick) {
        if (end_)
            end_();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (closeAllowed_) {
        event->accept();
        return;
    }
    // The window's own close button sends the panel back to the tray, as "关　闭" does.
    event->ignore();
    HideToTray();
}

} // namespace zenta
