#pragma once

#include <chrono>
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
// The path a program name runs from (a name without "/" is looked for on PATH), or "" when
// there is no such executable.
[[nodiscard]] std::string FindProgram(const std::string& program);
// Opens a file or address with the desktop's default application (xdg-open).
bool OpenWithDesktop(const std::string& target);

// Runs a program and waits for it; the exit status, or -1 when it could not be started or
// ended by a signal. Standard output and error go to `outputFile` when given, else /dev/null.
// While waiting, the wait hook (if any) is called every few tens of milliseconds so that the
// tray stays responsive.
// A program still running after `limit` (when not zero) is ended and kTimedOut returned.
// `standardInput` (at most PIPE_BUF bytes) is what the program reads on its standard input,
// else /dev/null: the way to hand it a secret that must not show in the process list.
[[nodiscard]] int RunProgramAndWait(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::string& workingDirectory = "",
                                    const std::string& outputFile = "",
                                    std::chrono::seconds limit = std::chrono::seconds(0),
                                    const std::string& standardInput = "");
void SetWaitHook(std::function<void()> hook);

// Tells the service manager (systemd, through $NOTIFY_SOCKET) a state such as "READY=1" or
// "STATUS=…"; nothing when the program was not started as a notify service.
void NotifyServiceManager(const std::string& state);

// RunProgramAndWait's result when the program was ended because a stop was asked for.
constexpr int kStoppedByRequest = -2;
// RunProgramAndWait's result when the program ran past its time limit and was ended.
constexpr int kTimedOut = -3;

// A stop of the whole program (SIGTERM, SIGINT, the end of the session). Safe to call from a
// signal handler. From then on a running child program is ended and long jobs give up at their
// next step.
void RequestStop();
bool StopRequested();
// Forgets an earlier stop request (tests run several programs' lives in one process).
void ClearStopRequest();
// Safe to call from a signal handler: when the program has not ended `seconds` after this call
// (a statement stuck in the database driver), the child program being waited for is killed and
// the process ends with status 0. Whatever that leaves half-done is of the kind the next start
// cleans up: temporary files, and transactions the server rolls back when the connection drops.
void ArmStopDeadline(unsigned seconds);
// Calls the wait hook, if any (for other waits that must keep the tray answering).
void CallWaitHook();

} // namespace zenta
