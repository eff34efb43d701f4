#include "clsOrdenadorEjecutando.h"

#include "Common.h"
#include "GlobalDatabase.h"
#include "Globals.h"

namespace zenta {

clsOrdenadorEjecutando::clsOrdenadorEjecutando(const std::string& executableName)
    : executableName_(executableName.empty() ? Globals::ExecutableName : executableName),
      programFileName_(executableName_ + ".exe") {
    if (!IsFrontEnd())
        return;
    clsDataBase& db = DataBase();
    sql_ = "Replace INTO ordenadorejecutando (MysqlID, ProgramaID, OrdenadorNombre, LoginTiempo) "
           "VALUES ('" +
           SQLEscape(db.ConnectionID()) + "', '" + SQLEscape(executableName_) + "', '" +
           SQLEscape(Globals::LocalIP) + "', Now());";
    db.SQLExecute(sql_);
}

clsOrdenadorEjecutando::~clsOrdenadorEjecutando() {
    if (!IsFrontEnd() || !HasDataBase())
        return;
    sql_ = "Delete From ordenadorejecutando Where ProgramaID = '" + SQLEscape(executableName_) +
           "' AND OrdenadorNombre = '" + SQLEscape(Globals::LocalIP) + "';";
    DataBase().SQLExecute(sql_);
}

bool clsOrdenadorEjecutando::IsFrontEnd() const {
    return programFileName_ == "ZentaMarket.exe" || programFileName_ == "ZentaMarketMan.exe" ||
           programFileName_ == "ZentaMarketPriAdv.exe";
}

std::int32_t clsOrdenadorEjecutando::RowCount(const std::string& sql) {
    sql_ = sql;
    clsDataBase& db = DataBase();
    db.CreatDatasArray(sql_);
    return db.ConnectionStatus() ? db.DatasArray()->Count(1) : 0;
}

std::int32_t clsOrdenadorEjecutando::Count() {
    return RowCount("Select Distinct OrdenadorNombre From ordenadorejecutando;");
}

std::int32_t clsOrdenadorEjecutando::MainCount() {
    return RowCount("Select Distinct OrdenadorNombre From ordenadorejecutando Where ProgramaID <> "
                    "'ZentaMarketPriAdv';");
}

std::int32_t clsOrdenadorEjecutando::PriAdvCount() {
    return RowCount("Select Distinct OrdenadorNombre From ordenadorejecutando Where ProgramaID = "
                    "'ZentaMarketPriAdv';");
}

std::int32_t clsOrdenadorEjecutando::LocalMainCount() {
    return RowCount("Select Distinct OrdenadorNombre From ordenadorejecutando Where (ProgramaID <> "
                    "'ZentaMarketPriAdv') And (OrdenadorNombre = '" +
                    SQLEscape(Globals::LocalIP) + "');");
}

std::string clsOrdenadorEjecutando::Names(bool withoutLocal) {
    sql_ = "Select Distinct OrdenadorNombre From ordenadorejecutando;";
    clsDataBase& db = DataBase();
    db.CreatDatasArray(sql_);
    std::string out;
    if (!db.ConnectionStatus())
        return out;
    const auto rows = db.DatasArray();
    for (long r = rows->LowerBound(1); r <= rows->UpperBound(1); ++r) {
        const std::string name = rows->Value(r, 0).ToString();
        if (withoutLocal && name == Globals::LocalIP)
            continue;
        out += (out.empty() ? "'" : ", '") + name + "'";
    }
    return out;
}

std::string clsOrdenadorEjecutando::List() {
    return Names(false);
}

std::string clsOrdenadorEjecutando::ListWithoutLocal() {
    return Names(true);
}

bool clsOrdenadorEjecutando::IsWorking(const std::string& ordenadorNombre) {
    return RowCount("Select OrdenadorNombre From ordenadorejecutando Where (ProgramaID <> "
                    "'ZentaMarketPriAdv') And (OrdenadorNombre = '" +
                    SQLEscape(ordenadorNombre) + "');") > 0;
}

void clsOrdenadorEjecutando::ActualizarOrdenadoresEjecutandos() {
    clsDataBase& db = DataBase();
    db.SQLExecute("Drop Table If Exists OrdenadoresEjecutandosReal;");
    // Wide enough for every user and host name the server can show: a name cut off would
    // fail its insert, and the registrations of that live connection would be purged.
    db.SQLExecute(std::string("Create Temporary Table OrdenadoresEjecutandosReal  ( ") +
                  "  Id INTEGER, " + "  User VARCHAR(128), " + "  Host VARCHAR(255), " +
                  "  db VARCHAR(64) );");
    db.SQLExecute("Delete From OrdenadoresEjecutandosReal;");
    db.CreatDatasArray("Show Processlist;");
    if (!db.ConnectionStatus()) {
        // Without the list of live connections nothing can be told apart: purge nothing.
        db.SQLExecute("Drop Table If Exists OrdenadoresEjecutandosReal;");
        return;
    }
    const auto processes = db.DatasArray();
    bool complete = true;
    for (long r = processes->LowerBound(1); r <= processes->UpperBound(1); ++r) {
        db.SQLExecute("INSERT INTO OrdenadoresEjecutandosReal (Id, User, Host, db) VALUES (" +
                      processes->Value(r, 0).ToString() + ",'" +
                      SQLEscape(processes->Value(r, 1).ToString()) + "','" +
                      SQLEscape(processes->Value(r, 2).ToString()) + "','" +
                      SQLEscape(processes->Value(r, 3).ToString()) + "');");
        complete = complete && db.ConnectionStatus();
    }
    if (complete)
        db.SQLExecute(
            "Delete ordenadorejecutando From ordenadorejecutando Left Join "
            "OrdenadoresEjecutandosReal on ordenadorejecutando.MysqlID = "
            "OrdenadoresEjecutandosReal.Id  Where OrdenadoresEjecutandosReal.Id is Null;");
    db.SQLExecute("Drop Table If Exists OrdenadoresEjecutandosReal;");
}

} // namespace zenta
