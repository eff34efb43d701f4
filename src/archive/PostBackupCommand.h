#pragma once

#include <string>

namespace zenta {

// Runs the setting [Monitor] PostBackupCommand (a shell line; the file's path is added as its
// last argument) for a good archive or a finished file of the binary log, ended after
// [Monitor] PostBackupTimeout seconds (3600). Its outcome and the tail of its output go to the
// log and the job record `job`; it never changes what the file counts as.
// `command` is the line to run ("" for PostBackupCommand). Whether it succeeded.
bool RunPostBackupCommand(const std::string& file, const std::string& command = "",
                          const std::string& job = "OffsiteCopy");

} // namespace zenta
