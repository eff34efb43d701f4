#include "Commands.h"

#include "Common.h"
#include "CompararDBEstructura.h"
#include "ErrorMode.h"
#include "GlobalDatabase.h"
#include "Globals.h"

#include <filesystem>
#include <iostream>

namespace zenta::cli {

Outcome CheckStructure(const Options&) {
    DataBase().SQLExecute("Flush Tables;");
    if (CompareDBStructure()) {
        std::cout << "The database's structure matches the reference database.\n";
        return Outcome::Good;
    }
    const std::string script = Globals::AppPath + "MySQLCompare.sql";
    std::error_code ec;
    if (std::filesystem::file_size(script, ec) == 0 || ec) {
        std::cerr << "The comparison could not run; the log says why: " << ProgramLogPath() << "\n";
        return Outcome::CouldNotRun;
    }
    std::cout << "The database's structure differs from the reference database. Statements "
                 "that would make it equal ("
              << script << ", nothing applied):\n\n";
    std::cout << ReadWholeFile(script).value_or("");
    return Outcome::NotGood;
}

} // namespace zenta::cli
