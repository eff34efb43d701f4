#include "IPUpdate.h"

#include "BusyFlag.h"
#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "InternetFunctions.h"
#include "JobOutcomes.h"
#include "Opcion.h"
#include "PairRecord.h"
#include "Settings.h"
#include "Text.h"
#include "clsLianSuoDian.h"

namespace zenta {

std::string IPUpdateProc() {
    static bool busy = false;
    BusyGuard guard(busy);
    if (!guard.acquired())
        return "another report is being sent";
    if (!EnsureConnected())
        return "the database cannot be reached";
    if (!ServerIsLocal)
        return "this computer does not hold the database; the report is made there";
    if (!DatabaseJobsHere())
        return "this computer's server is the pair's standby; the report is made by the primary";
    clsDataBase& db = DataBase();
    if (!OpcionBool(db, "CadenaFunciona", false))
        return "the shop is not part of a chain (option CadenaFunciona is 0 or missing)";
    if (OpcionBool(db, "SubTiendaIPFija", false))
        return "the branch's address is fixed (option SubTiendaIPFija is 1): head office knows "
               "it";
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
    return {};
}

} // namespace zenta
