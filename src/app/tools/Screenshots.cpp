// Draws the panel, the tray menu and the tray's backup warning into PNG files for the
// documentation, from a job record made up for them (a last good backup three days old):
//   zenta-screenshots OUTPUT_FOLDER
#include "BinlogCopyRecord.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "StatusPanel.h"
#include "Variant.h"
#include "frmMain.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdlib>
#include <filesystem>

namespace {

// A program folder of its own, whose job record says the backups need attention (a last good
// backup three days old), the copy of the binary log streaming.
bool RecordMadeUpOutcomes(char* folder) {
    if (!::mkdtemp(folder))
        return false;
    zenta::Globals::AppPath = std::string(folder) + "/";
    std::filesystem::create_directories(zenta::Globals::AppPath + "Log");
    const std::string good = zenta::DateTime::Now().AddDays(-3).StampText();
    zenta::RecordOutcome("Backup", {{"Time", good},
                                    {"Result", "good"},
                                    {"Archive", "ZentaMarket20261204020011.ZTB"},
                                    {"Bytes", "48234496"},
                                    {"LastGoodArchive", "ZentaMarket20261204020011.ZTB"},
                                    {"LastGoodTime", good},
                                    {"LastGoodBytes", "48234496"}});
    // The copy of the binary log streaming, the last sale copied a few seconds ago.
    const std::string now = zenta::DateTime::Now().StampText();
    zenta::BinlogCopyOutcome copy;
    copy.checked = now;
    copy.state = zenta::CopyState::Streaming;
    copy.since = good;
    copy.reach = copy.currentAt = now;
    copy.lagBytes = copy.lagSeconds = 0;
    copy.chain = "chain-20261201020000";
    copy.RecordLook();
    return true;
}

// The tray as the shop sees it while the backups need attention: the warning icon, its tool-tip
// and the balloon, drawn side by side with the program's own texts.
void DrawTray(zenta::frmMain& form, QWidget& tray) {
    tray.setAutoFillBackground(true);
    auto* row = new QHBoxLayout(&tray);
    auto* icon = new QLabel;
    icon->setPixmap(form.TrayIcon().icon().pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon);
    auto* tip = new QLabel(form.TrayIcon().toolTip());
    tip->setFrameShape(QFrame::Box);
    tip->setStyleSheet(QStringLiteral("background: #ffffe1; padding: 4px;"));
    tip->setAlignment(Qt::AlignTop);
    row->addWidget(tip);
    auto* balloon = new QFrame;
    balloon->setFrameShape(QFrame::StyledPanel);
    balloon->setStyleSheet(QStringLiteral("QFrame { background: white; border: 1px solid #888; "
                                          "border-radius: 6px; }"));
    auto* lines = new QVBoxLayout(balloon);
    const QStringList parts = form.TrayIcon().toolTip().split('\n');
    auto* heading = new QLabel(QStringLiteral("⚠ ") + parts.value(0));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    heading->setStyleSheet(QStringLiteral("border: none;"));
    auto* reason = new QLabel(parts.mid(1).join('\n'));
    reason->setStyleSheet(QStringLiteral("border: none;"));
    lines->addWidget(heading);
    lines->addWidget(reason);
    row->addWidget(balloon);
    tray.show();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const QString out = QString::fromLocal8Bit(argv[1]);
    char folder[] = "/tmp/zenta-screenshots-XXXXXX";
    if (!RecordMadeUpOutcomes(folder))
        return 1;
    zenta::ServerIsLocal = true;

    QApplication app(argc, argv);
    zenta::frmMain form;
    form.TitleLabel().setText(QString::fromStdString(zenta::TitleText()));
    form.VersionLabel().setText(
        QString::fromUtf8("\r\n数据库位置: 本地[/var/lib/mysql/]\r\n数据库版本 Ver. "
                          "3.12\r\nMySQL版本 Ver. 10.11.19 [3306]\r\n"
                          "MyODBC版本 Ver. 3.1.15\r\nInnoDB锁定超时: 50\r\n\r\n本机  IP: "
                          "192.168.1.10\r\nMySQL ID: 42"));
    form.MenuItem(QStringLiteral("数据库格式检查"))->setEnabled(true);
    form.UpdateBackupHealth();
    form.show();

    QWidget tray;
    DrawTray(form, tray);
    QTimer::singleShot(300, [&] {
        form.grab().save(out + "/panel.png");
        tray.grab().save(out + "/tray-warning.png");
        form.Menu().popup(QPoint(40, 40));
        QTimer::singleShot(300, [&] {
            form.Menu().grab().save(out + "/menu.png");
            app.exit(0); // the panel turns a close down: quit() would ask it
        });
    });
    const int status = app.exec();
    std::filesystem::remove_all(folder);
    return status;
}
