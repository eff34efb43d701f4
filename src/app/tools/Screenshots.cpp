// Draws the panel and the tray menu into PNG files for the documentation:
//   zenta-screenshots OUTPUT_FOLDER
#include "StatusPanel.h"
#include "frmMain.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const QString out = QString::fromLocal8Bit(argv[1]);
    QApplication app(argc, argv);
    zenta::frmMain form;
    form.TitleLabel().setText(QString::fromStdString(zenta::TitleText()));
    form.VersionLabel().setText(
        QString::fromUtf8("\r\n数据库位置: 本地[/var/lib/mysql/]\r\n数据库版本 Ver. "
                          "3.12\r\nMySQL版本 Ver. 10.11.19 [3306]\r\n"
                          "MyODBC版本 Ver. 3.1.15\r\nInnoDB锁定超时: 50\r\n\r\n本机  IP: "
                          "192.168.1.10\r\nMySQL ID: 42"));
    form.MenuItem(QStringLiteral("数据库格式检查"))->setEnabled(true);
    form.show();
    QTimer::singleShot(300, [&] {
        form.grab().save(out + "/panel.png");
        form.Menu().popup(QPoint(40, 40));
        QTimer::singleShot(300, [&] {
            form.Menu().grab().save(out + "/menu.png");
            app.quit();
        });
    });
    return app.exec();
}
