#pragma once

#include <string>

namespace zenta {

// Every step that fails and is skipped goes through here: the failure is written to the
// program's log (Log/<executable>.log in the program folder) and, when ReleaseVersion is
// False, the program ends at once with the report on standard error and exit status 3.
void ReportFailure(const std::string& where, const std::string& what);

// One line in the program's own log, "yyyy-mm-dd hh:nn:ss text" (dropped when the folder
// Log/ is missing), and the text on standard error, where a service's journal keeps it.
void WriteProgramLog(const std::string& text);
// Whether log lines also go to standard error (the monitor and a service: yes; a one-shot
// command, whose own words say what happened: no).
void SetLogEcho(bool echo);
std::string ProgramLogPath();

// The size a log file may reach before it is set aside as "<file>.1" (replacing the earlier
// one) and a new file begun; the program's logs never fill the disk.
long long LogSizeLimit();
void SetLogSizeLimit(long long bytes); // tests
// Sets the file aside when it has reached the limit.
void KeepLogWithinLimit(const std::string& file);

} // namespace zenta
