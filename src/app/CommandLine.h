#pragma once

namespace zenta {

// The one-shot commands of the program (status, backup, check-structure, workstations,
// ip-update, run-cycle, clear-print-queues) and --help/--version. They use the Qt-free core
// only: no display, no tray, no helper programs, no hot keys. Each prints a plain-text result
// and returns the exit status: 0 done, 1 done but not good, 2 could not run or bad usage.
int RunCommandLine(int argc, char** argv);

} // namespace zenta
