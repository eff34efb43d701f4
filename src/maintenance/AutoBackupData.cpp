#include "AutoBackupData.h"

#include "BackupAll.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Opcion.h"
#include "RemovableDrives.h"
#include "TodoSobreMySQLServer.h"
#include "Wildcard.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace zenta {

void CleanMasterData() {
    clsDataBase& db = DataBase();
    for (const char* statement :
         {"Delete From articulo where ArticuloID = '' OR NombreES = '';",
          "Update articulo Set articulo.CantidadPorUnidad = 1 Where articulo.CantidadPorUnidad = "
          "0;",
          "Update articulo Set articulo.CantidadPorUnidad2 = 1 Where articulo.CantidadPorUnidad2 = "
          "0;",
          "Update articulo Set articulo.FechaCaducada = NULL Where articulo.FechaCaducada = "
          "'9999-12-31';",
          "Delete From cliente where NombreES = '';", "Delete From proveedor where NombreES = '';"})
        db.SQLExecute(statement);
}

std::string BackupFolder() {
    clsDataBase& db = DataBase();
    auto dir = ReadOpcion(db, "BackupRestoreDir", "VarCharValor");
    if (dir && DirExists(dir->ToString()))
        return WithSlash(dir->ToString());
    return Globals::AppPath + "Backup/";
}

std::string BackupToDir() {
    std::string folder = BackupFolder();
    std::string label = OpcionText(DataBase(), "MobilBackupRestoreVolumeName", "");
    BackupReport report;
    BackupAll(folder, label, &report);
    return report.complete ? report.archiveName : std::string();
}

bool IsBackupDue(long option, long days, long weeks, long weekday, const DateTime& today) {
    if (option == 0)
        return false;
    if (option != 2)
        return true;
    const long product = 7 * weeks;
    if (product > INT16_MAX || product < INT16_MIN)
        return false;
    return today.WeekdayMondayZero() == weekday && days >= product;
}

void AutoBackup() {
    clsDataBase& db = DataBase();
    db.CreatDatasArray(
        "select to_days(now()) - IntegerValor from opcion where id = 'LastDateAutoBackup';");
    if (!db.ConnectionStatus()) {
        ReportFailure("AutoBackup", "the day of the last backup cannot be read");
        return;
    }
    std::int16_t days = 0;
    if (db.DatasArray()->Count(1) > 0) {
        days = static_cast<std::int16_t>(db.DatasArrayValue(0, 0).ToInt64());
        if (days == 0)
            return; // already made today
    }
    const long option = OpcionInteger(db, "AutoBackupOpcion", 0);
    if (option == 0)
        return;
    DateTime today = DateTime::Today();
    long weeks = 1, weekday = 0;
    if (option == 2) {
        weeks = OpcionInteger(db, "AutoBackupCadaSemana", 1);
        weekday = OpcionInteger(db, "AutoBackupSemanaDia", 0);
        const auto serverToday = MySQLServerDate();
        if (!serverToday) {
            ReportFailure("AutoBackup", "the server's date cannot be read");
            return;
        }
        today = *serverToday;
        if (7 * weeks > INT16_MAX || 7 * weeks < INT16_MIN) {
            ReportFailure("AutoBackup", "AutoBackupCadaSemana is out of range");
            return;
        }
    }
    const bool due = IsBackupDue(option, days, weeks, weekday, today);
    if (!due)
        return;
    // The day counts only once a whole, tested archive exists: otherwise the next cycle tries
    // again.
    const std::string archive = BackupToDir();
    if (archive.empty())
        return;
    db.SQLExecute(
        "REPLACE INTO opcion (ID, IntegerValor)  VALUES ('LastDateAutoBackup',to_days(now()));");
}

void DeleteOldBackupFiles(std::string& folder, long maximum) {
    folder = WithSlash(folder);
    std::vector<std::string> names = DirNames(folder + "ZentaMarket??????????????.ZTB");
    if (names.empty())
        return;
    std::sort(names.begin(), names.end(), std::greater<>());
    for (size_t i = static_cast<size_t>(std::max(maximum, 0L)); i < names.size(); ++i) {
        if (std::remove((folder + names[i]).c_str()) != 0)
            ReportFailure("DeleteOldBackupFiles", "cannot delete " + folder + names[i]);
    }
}

void RotateBackupFiles() {
    clsDataBase& db = DataBase();
    long maximum = OpcionInteger(db, "MaxBackupFile", 20);
    std::string folder = Globals::AppPath + "Backup";
    auto dir = ReadOpcion(db, "BackupRestoreDir", "VarCharValor");
    if (dir && DirExists(dir->ToString()))
        folder = dir->ToString();
    DeleteOldBackupFiles(folder, maximum);

    maximum = OpcionInteger(db, "MaxMobilBackupFile", 20);
    const std::string label = OpcionText(db, "MobilBackupRestoreVolumeName", "");
    if (label.empty())
        return;
    for (const auto& mount : DrivesWithLabel(label)) {
        if (!DirExists(mount))
            continue;
        std::string target = WithSlash(mount) + "ZentaBackup/";
        if (DirExists(target))
            DeleteOldBackupFiles(target, maximum);
    }
}

} // namespace zenta
