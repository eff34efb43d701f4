#pragma once

#include "AutoRunProc.h"
#include "DatabaseServices.h"

#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

namespace zenta {

// The program's one window: a small status panel that stays hidden behind the tray icon, the
// icon's menu, and the two one-minute timers of the job dispatcher.
class frmMain : public QWidget {
  public:
    frmMain();
    ~frmMain() override;

    // The form's load: caption, balloon, title, timers stopped, into the tray, then connects to
    // the database, retrying every second without bound (`keepTrying` says when to give up:
    // only a termination request does).
    void Load(const std::function<bool()>& keepTrying = [] { return true; });
    // The form's unload: hot keys, workstation registry and database released.
    void Unload();

    // The tray icon, its tool-tip and the panel's backup line after the job record: a warning
    // icon and a balloon (once a day) while the backups need attention, on the database
    // computer only.
    void UpdateBackupHealth();
    int WarningBalloonsShown() const { return balloons_; }
    QLabel& BackupLabel() { return lblBackup_; }

    void AutoRunEnabled(bool enabled);
    void IPUpdateEnabled(bool enabled);
    JobDispatcher& Dispatcher() { return dispatcher_; }

    bool InTray() const { return inTray_; }
    void ShowPanel(); // refresh, then out of the tray
    void HideToTray();
    bool TrayAvailable() const;

    QMenu& Menu() { return menu_; }
    QAction* MenuItem(const QString& caption) const;
    QSystemTrayIcon& TrayIcon() { return tray_; }
    QLabel& TitleLabel() { return lblTitle_; }
    QLabel& VersionLabel() { return lblVersion_; }
    QLabel& Icon() { return picIcon_; }
    QPushButton& CloseButton() { return cmdClose_; }

    // Called when the panel's icon is double-clicked: the program is to end (the caller leaves
    // the event loop and unloads the form).
    void OnEnd(std::function<void()> end) { end_ = std::move(end); }
    // From now on a request to close the window closes it (the program is ending).
    void AllowClose() { closeAllowed_ = true; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildMenu();
    // The jobs' timers and the copy's two (its looks, and the finishing of copied files).
    void ConnectTimers();
    void RefreshStatus();

    QSystemTrayIcon tray_;
    QMenu menu_;
    QLabel lblTitle_;
    QLabel lblVersion_;
    QLabel lblBackup_;
    QLabel picIcon_;
    QPushButton cmdClose_;
    QTimer tmrAutoRunProc_;
    QTimer tmrIPUpdateProc_;
    // The database computer's services (the binary log's copy, the pair): the window drives
    // their looks and the finishing of copied files on two timers, and shows what they say.
    QTimer tmrServices_;
    QTimer tmrFinish_;
    DatabaseServices services_;
    JobDispatcher dispatcher_;
    bool inTray_ = true;
    bool unloaded_ = false;
    bool closeAllowed_ = false;
    int balloons_ = 0;
    std::string balloonDay_;
    std::function<void()> end_;
};

// The icon of the program, drawn once; with a warning sign while the backups need attention.
QIcon ProgramIcon();
QIcon WarningIcon();

} // namespace zenta
