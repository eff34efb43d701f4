#pragma once

#include "StopRequest.h"
#include "WaitHook.h"

#include <chrono>
#include <string>
#include <vector>

namespace zenta {

// Starts a program detached from this one (its own session, no terminal, standard streams on
// /dev/null), with `workingDirectory` as its current directory; not waited for. A program given
// without a folder is looked for in the working directory first, then on PATH. False when it
// could not be started (ProgramStartError says why).
bool StartProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingDirectory);
// The path a program name runs from (a name without "/" is looked for on PATH), or "" when
// there is no such executable.
[[nodiscard]] std::string FindProgram(const std::string& program);
// The bytes a process has read so far (its rchar); 0 when not known.
[[nodiscard]] long long BytesReadBy(int pid);
// Opens a file or address with the desktop's default application (xdg-open).
bool OpenWithDesktop(const std::string& target);

// Runs a program and waits for it; the exit status, or -1 when it could not be started
// (ProgramStartError says why) or ended by a signal. Standard output and error go to
// `outputFile` when given, else /dev/null.
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

// Why the last StartProgram or RunProgramAndWait of this thread could not start its program
// ("cannot enter the folder /x: No such file or directory", "cannot run 7zz: No such file or
// directory"); "" when it started.
[[nodiscard]] std::string ProgramStartError();

// A program that runs beside this one and is watched over: started with its output to a file,
// asked whether it still runs, ended with SIGTERM (then SIGKILL). It ends with this program
// too, even when this one is killed (the kernel sends it SIGTERM then).
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // False when it could not be started (ProgramStartError says why).
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& outputFile);
    // Whether it still runs; once it has ended, its exit status is in exitStatus().
    bool Running();
    int exitStatus() const { return exitStatus_; }
    int pid() const { return pid_; }
    void Stop();

  private:
    int pid_ = -1;
    int exitStatus_ = -1;
};

// A program of a pipeline: started with its standard input and output on descriptors of the
// caller's (-1: this program's own), its error output appended to `errorFile`. Its process id,
// or -1 when it could not be started (ProgramStartError says why).
[[nodiscard]] int StartInPipeline(const std::vector<std::string>& argv, int input, int output,
                                  const std::string& errorFile);
// Waits for a program started so: its exit status, or -1 when a signal ended it (`how`, when
// given, then names the signal).
int WaitForExit(int pid, std::string* how = nullptr);

// While one lives, the programs this thread starts (any of the ways above) run at a low CPU and
// I/O priority: nice 10 and the best-effort I/O class at its lowest level. The heavy helpers (the
// archiver, the binary log's checks, the replay's programs) so leave the computer to the
// database server answering the tills and to the person at the tray. `on` false changes nothing.
class LowPriorityPrograms {
  public:
    explicit LowPriorityPrograms(bool on);
    ~LowPriorityPrograms();
    LowPriorityPrograms(const LowPriorityPrograms&) = delete;
    LowPriorityPrograms& operator=(const LowPriorityPrograms&) = delete;

  private:
    bool was_;
};
// [Monitor] LowPriorityHelpers: whether the heavy helpers run at a low priority (default on; 0
// runs them as every other program, for a computer that does nothing else). Never while a person
// waits for them (below).
bool HelpersRunLow();
// The calling thread itself at the helpers' low priority, when they run low (a thread that
// does heavy work in the background: the off-site copy's senders).
void ThisThreadRunsLow();
// A person started this process's work and waits for it (a restore, a verification from the
// command line, often with the shop closed): its heavy helpers run at the normal priority.
void APersonWaits();

// RunProgramAndWait's result when the program was ended because a stop was asked for.
constexpr int kStoppedByRequest = -2;
// RunProgramAndWait's result when the program ran past its time limit and was ended.
constexpr int kTimedOut = -3;

} // namespace zenta
