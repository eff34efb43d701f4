#include "IPUpdate.h"

#include "BusyFlag.h"
#include "Common.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Opcion.h"
#include "Settings.h"
#include "clsLianSuoDian.h"

namespace zenta {

void IPUpdateProc() {
    static bool busy = false;
    BusyGuard guard(busy);
    if (!guard.acquired())
        return;

    if (!EnsureConnected() || !ServerIsLocal)
        return;
    clsDataBase& db = DataBase();
    if (!OpcionBool(db, "CadenaFunciona", false))
        return;
    if (OpcionBool(db, "SubTiendaIPFija", false))
        return;
    const std::string cadena = Trim(OpcionText(db, "CadenaID", ""));
    const std::string branch = Trim(OpcionText(db, "SubTiendaID", ""));
    std::string password;
    db.CreatDatasArray(std::string("SELECT DEcode(EnDeCodeValor, '") + kSubTiendaPasswordKey +
                       "') From opcion Where ID = 'SubTiendaPassword';");
    if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
        password = Trim(db.DatasArrayValue(0, 0, true).ToString());

    clsLianSuoDian headOffice;
    headOffice.UpdateServer(cadena, branch, password);
    const std::string outcome =
        headOffice.UpdateIP()
            ? cadena + ":" + branch + "  IP更新成功！本机 IP: " + headOffice.IPLocal()
            : headOffice.UpdateIPError();
    WriteIniLogEntry(Globals::AppPath + "Log/IPUpdate.log", "IPUpdate", outcome);
}

} // namespace zenta
