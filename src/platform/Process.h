#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zenta {

// Starts a program detached from this one (its own session, no terminal, standard streams on
// /dev/null), with `workingDirectory` as its current directory; not waited for. A program given
// without a folder is looked for in the working directory first, then on PATH. False when it
// could not be started.
bool StartProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingDirectory);
// Opens a file or address with the desktop's default application (xdg-open).
bool OpenWithDesktop(const std::string& target);

// Runs a program and waits for it; the exit status, or -1 when it could not be started or
// ended by a signal. Standard output and error go to `outputFile` when given, else /dev/null.
// While waiting, the wait hook (if any) is called every few tens of milliseconds so that the
// tray stays responsive.
int RunProgramAndWait(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workingDirectory = "", const std::string& outputFile = "");
void SetWaitHook(std::function<void()> hook);
// Calls the wait hook, if any (for other waits that must keep the tray answering).
void CallWaitHook();

} // namespace zenta
