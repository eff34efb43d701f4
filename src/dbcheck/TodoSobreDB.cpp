#include "TodoSobreDB.h"

#include "Common.h"
#include "ErrorMode.h"
#include "FolderListing.h"
#include "Globals.h"
#include "SevenZip.h"
#include "Transaction.h"

#include <cstdio>

namespace zenta {

namespace {

bool NeedsRebuild(clsDataBase& db) {
    const std::string r = kReferenceDatabase;
    db.CreatDatasArray("Show Databases Like '" + r + "';");
    if (db.DatasArray()->Count(1) == 0)
        return true;
    db.CreatDatasArray("Show Tables From " + r + " Like 'opcion';");
    if (db.DatasArray()->Count(1) == 0)
        return true;
    db.CreatDatasArray("SELECT IntegerValor From " + r + ".opcion Where ID = 'Version';");
    if (db.DatasArray()->Count(1) == 0)
        return true;
    return Val(db.DatasArrayValue(0, 0).ToString()) < ProgramVersionNumber();
}

void DeleteFiles(const std::string& folder) {
    for (const auto& name : DirNames(folder + "*.*", vbHidden | vbSystem | vbReadOnly))
        std::remove((folder + name).c_str());
}

} // namespace

void InstallBasicDataBase(clsDataBase& db, bool force) {
    if (!force && !NeedsRebuild(db))
        return;
    const std::string r = kReferenceDatabase;
    const std::string work = Globals::AppPath + "Database/Temp/";
    if (DirExists(work))
        DeleteFiles(work);
    else if (!CreateFolderPath(work))
        ReportFailure("InstallBasicDataBase", "cannot create " + work);

    std::string archive = Globals::AppPath + "Database/MySQLSetup.dat";
    std::string destination = work;
    std::string password;
    if (SevenZipExtract(archive, destination, password, false) != 0)
        ReportFailure("InstallBasicDataBase", "cannot unpack " + archive);

    db.SQLExecute("DROP DATABASE IF EXISTS " + r + ";");
    db.SQLExecute("CREATE DATABASE " + r + ";");
    {
        DefaultDatabase reference(db, r, "zentasupermarket");
        if (FileExists(work + "STRU.sql"))
            db.SQLExecuteFromFile(work + "STRU.sql");
        db.CreatDatasArray("show tables;");
        const auto tables = db.DatasArray();
        const std::string literalFolder = SQLEscape(work);
        for (long row = tables->LowerBound(1); row <= tables->UpperBound(1); ++row) {
            const std::string n = tables->Value(row, 0).ToString();
            db.SQLExecute("LOAD DATA LOCAL INFILE  '" + literalFolder + SQLEscape(n) +
                          ".dat' REPLACE INTO TABLE " + n +
                          " FIELDS TERMINATED BY ','  LINES TERMINATED BY '\\r\\n';");
        }
        db.SQLExecute("Truncate Table opcion;");
        db.SQLExecute("REPLACE INTO opcion (ID, IntegerValor)  VALUES ('Version', " +
                      std::to_string(ProgramVersionNumber()) + ");");
        db.SQLExecute("REPLACE INTO opcion (ID, VarCharValor)  VALUES ('InstallPath','" +
                      SQLEscape(Globals::AppPath) + "');");
        db.SQLExecute(
            "REPLACE INTO opcion (ID, IntegerValor)  VALUES ('FechaInstalacion',to_days(now()));");
    }
    DeleteFiles(work);
}

} // namespace zenta
