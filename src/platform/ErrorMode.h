#pragma once

#include <string>

namespace zenta {

// Every step that fails and is skipped goes through here: the failure is written to the
// program's log (Log/<executable>.log in the program folder) and, when ReleaseVersion is
// False, the program ends at once with the report on standard error and exit status 3.
void ReportFailure(const std::string& where, const std::string& what);

// One line in the program's own log, "yyyy-mm-dd hh:nn:ss text"; dropped when the folder
// Log/ is missing.
void WriteProgramLog(const std::string& text);
std::string ProgramLogPath();

} // namespace zenta
