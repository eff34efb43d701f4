#include "CompararDBEstructura.h"

#include "Common.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "Settings.h"
#include "StructureComparer.h"
#include "TodoSobreDB.h"

#include <cstdio>
#include <filesystem>

namespace zenta {

bool CompareDBStructure() {
    const std::string script = Globals::AppPath + "MySQLCompare.sql";
    std::string ini = Globals::AppPath + "MySQLCompare.ini";
    const std::string log = Globals::AppPath + "LibMySQLRepair.log";

    InstallBasicDataBase(DataBase(), false);
    if (FileExists(script))
        std::remove(script.c_str());
    const std::string port = std::to_string(ConfiguredMySQLPort());
    SetINIValue("Etalon", "Port", port, ini);
    SetINIValue("Target", "Port", port, ini);

    std::string quoted = ini;
    const int status = MySQLRepair(QuoteIfSpaced(quoted));
    if (status != 0) {
        // The comparer's own log goes with it; keep its words in the program's log.
        std::string reason = MySQLRepairLastError();
        ReportFailure("CompareDBStructure", "the comparison could not run: " + reason);
    }
    if (FileExists(log))
        std::remove(log.c_str());
    if (status != 0)
        return false;
    std::error_code ec;
    const auto size = std::filesystem::file_size(script, ec);
    return ec || size == 0;
}

} // namespace zenta
