#pragma once

namespace zenta {

// The one-shot commands of the program and --help/--version, from one table of commands
// (CommandLine.cpp: each command's name, summary, options, and whether it needs the database
// and the job lock). They use the Qt-free core only: no display, no tray, no helper programs,
// no hot keys. Each prints a plain-text result and returns the exit status: 0 done, 1 done but
// not good, 2 could not run or bad usage (an option the command does not take included).
int RunCommandLine(int argc, char** argv);

} // namespace zenta
