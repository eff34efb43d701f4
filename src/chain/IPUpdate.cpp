#include "IPUpdate.h"

#include "BusyFlag.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "InternetFunctions.h"
#include "JobOutcomes.h"
#include "Opcion.h"
#include "Settings.h"
#include "Text.h"
#include "clsLianSuoDian.h"

namespace zenta {

namespace {
bool reportSent = false;
} // namespace

bool IPReportSent() {
    return reportSent;
}

void IPUpdateProc() {
    static bool busy = false;
    BusyGuard guard(busy);
    if (!guard.acquired())
        return;
    reportSent = false;

    if (!EnsureConnected() || !ServerIsLocal)
        return;
    clsDataBase& db = DataBase();
    if (!OpcionBool(db, "CadenaFunciona", false))
        return;
    if (OpcionBool(db, "SubTiendaIPFija", false))
        return;
    const std::string cadena = TrimSpaces(OpcionText(db, "CadenaID", ""));
    const std::string branch = TrimSpaces(OpcionText(db, "SubTiendaID", ""));
    std::string password;
    db.CreatDatasArray(std::string("SELECT DEcode(EnDeCodeValor, '") + kSubTiendaPasswordKey +
                       "') From opcion Where ID = 'SubTiendaPassword';");
    if (db.ConnectionStatus() && db.DatasArray()->Count(1) > 0)
        password = TrimSpaces(db.DatasArrayValue(0, 0, true).ToString());

    clsLianSuoDian headOffice;
    headOffice.UpdateServer(cadena, branch, password);
    const bool updated = headOffice.UpdateIP();
    reportSent = true;
    const std::string outcome =
        updated ? cadena + ":" + branch + "  IP更新成功！本机 IP: " + headOffice.IPLocal()
                : headOffice.UpdateIPError();
    WriteIniLogEntry(Globals::AppPath + "Log/IPUpdate.log", "IPUpdate", outcome);
    const std::string cause = updated ? std::string() : LastNetworkError();
    WriteProgramLog("IP report: " +
                    (updated ? "done, this branch is at " + headOffice.IPLocal()
                             : "failed: " + outcome + (cause.empty() ? "" : " (" + cause + ")")));
    RecordOutcome("IPUpdate", {{"Time", DateTime::Now().StampText()},
                               {"Result", updated ? "done" : "failed"},
                               {"Address", headOffice.IPLocal()},
                               {"Message", outcome},
                               {"Cause", cause}});
}

} // namespace zenta
