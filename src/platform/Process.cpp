#include "Process.h"

#include "FileDescriptor.h"
#include "Settings.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace zenta {

namespace {

thread_local std::string startError;
// Programs started by this thread now run at a low priority (LowPriorityPrograms).
thread_local bool lowPriority = false;

// Nice 10 and the best-effort I/O class at its lowest level, for the calling thread (Linux
// gives each thread its own). System calls only: the child of a threaded program calls it too.
void LowerCallersPriority() {
    ::setpriority(PRIO_PROCESS, 0, 10);
    constexpr int kWhoProcess = 1, kClassBestEffort = 2, kLowestLevel = 7, kClassShift = 13;
    ::syscall(SYS_ioprio_set, kWhoProcess, 0, (kClassBestEffort << kClassShift) | kLowestLevel);
}

// The child's side, before the exec.
void LowerOwnPriority() {
    if (lowPriority)
        LowerCallersPriority();
}

// What the child reports through its pipe when it cannot start the program.
struct StartFailure {
    int stage; // 1: entering the working folder, 2: the exec
    int error; // errno
};

// Both ends of a pipe whose descriptors are not inherited by the programs started.
struct Pipe {
    FileDescriptor read, write;
    bool Open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        read = FileDescriptor(fds[0]);
        write = FileDescriptor(fds[1]);
        return true;
    }
};

std::string StartFailureText(const StartFailure& f, const std::string& program,
                             const std::string& folder) {
    return f.stage == 1 ? "cannot enter the folder " + folder + ": " + std::strerror(f.error)
                        : "cannot run " + program + ": " + std::strerror(f.error);
}

// Ends a child that is still running: asked first, then killed.
void EndChild(pid_t pid, int& status) {
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return;
        timespec ts{0, 20 * 1000 * 1000};
        ::nanosleep(&ts, nullptr);
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::string Resolve(const std::string& program, const std::string& cwd) {
    if (program.find('/') != std::string::npos)
        return program;
    if (!cwd.empty()) {
        std::string local = cwd + (cwd.back() == '/' ? "" : "/") + program;
        if (::access(local.c_str(), X_OK) == 0)
            return local;
    }
    return program; // execvp searches PATH
}

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args,
                        std::vector<std::string>& storage) {
    storage.clear();
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return argv;
}

void RedirectStandardStreams(const char* out, int input = -1) {
    int in = input >= 0 ? input : ::open("/dev/null", O_RDONLY);
    int o = ::open(out, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (o < 0)
        o = ::open("/dev/null", O_WRONLY);
    if (in >= 0)
        ::dup2(in, 0);
    if (o >= 0) {
        ::dup2(o, 1);
        ::dup2(o, 2);
    }
}

// The child's side: signals as new, the folder, the standard streams, then the program. A
// failed exec is reported through the pipe.
[[noreturn]] void ExecChild(std::vector<char*>& argv, const std::string& workingDirectory,
                            const char* output, int errorPipe, int input = -1) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    StartFailure failure{1, 0};
    if (workingDirectory.empty() || ::chdir(workingDirectory.c_str()) == 0) {
        RedirectStandardStreams(output, input);
        LowerOwnPriority();
        ::execvp(argv[0], argv.data());
        failure.stage = 2;
    }
    failure.error = errno;
    ssize_t ignored = ::write(errorPipe, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

} // namespace

bool StartProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingDirectory) {
    startError.clear();
    const std::string path = Resolve(program, workingDirectory);
    std::vector<std::string> storage;
    auto argv = Argv(path, args, storage);
    // The grandchild reports a failed start through this pipe.
    Pipe report;
    if (!report.Open()) {
        startError = "cannot start " + path + ": " + std::strerror(errno);
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        startError = "cannot start " + path + ": " + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0)
            ::_exit(grandchild < 0 ? 1 : 0);
        ExecChild(argv, workingDirectory, "/dev/null", report.write.get());
    }
    report.write.Close();
    int status = 0;
    ::waitpid(child, &status, 0);
    StartFailure failure{};
    const ssize_t n = ::read(report.read.get(), &failure, sizeof failure);
    if (n == static_cast<ssize_t>(sizeof failure))
        startError = StartFailureText(failure, path, workingDirectory);
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        startError = "cannot start " + path + ": the fork failed";
    return startError.empty();
}

std::string FindProgram(const std::string& program) {
    if (program.empty())
        return {};
    if (program.find('/') != std::string::npos)
        return ::access(program.c_str(), X_OK) == 0 ? program : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t e = dirs.find(':', pos);
        if (e == std::string::npos)
            e = dirs.size();
        const std::string dir = e > pos ? dirs.substr(pos, e - pos) : std::string(".");
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        pos = e + 1;
    }
    return {};
}

namespace {

std::string ReadProcFile(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "re")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

} // namespace

long long BytesReadBy(int pid) {
    if (pid <= 0)
        return 0;
    const std::string io = ReadProcFile("/proc/" + std::to_string(pid) + "/io");
    const size_t at = io.find("rchar: ");
    return at == std::string::npos ? 0 : std::atoll(io.c_str() + at + 7);
}

bool OpenWithDesktop(const std::string& target) {
    return StartProgram("xdg-open", {target}, "");
}

namespace {

// Waits for a started program, calling the wait hook meanwhile; its exit status, -1 when a
// signal ended it, kStoppedByRequest or kTimedOut when it was ended.
int WaitWatching(pid_t pid, std::chrono::seconds limit,
                 std::chrono::steady_clock::time_point deadline) {
    int status = 0;
    SetRunningChild(pid);
    int outcome = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            outcome = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (r < 0 && errno != EINTR) {
            outcome = -1;
            break;
        }
        if (StopRequested()) {
            EndChild(pid, status);
            outcome = kStoppedByRequest;
            break;
        }
        if (limit.count() > 0 && std::chrono::steady_clock::now() > deadline) {
            EndChild(pid, status);
            outcome = kTimedOut;
            break;
        }
        if (r == 0) {
            CallWaitHook();
            timespec ts{0, 20 * 1000 * 1000};
            ::nanosleep(&ts, nullptr);
        }
    }
    SetRunningChild(0);
    return outcome;
}

// The input a program reads, written into a pipe before it starts (it must fit the pipe); why
// not, "" when it is there.
std::string PrepareInput(Pipe& input, const std::string& standardInput) {
    if (standardInput.empty())
        return {};
    if (standardInput.size() > PIPE_BUF)
        return "its input is longer than a pipe holds";
    if (!input.Open())
        return std::strerror(errno);
    const bool written = ::write(input.write.get(), standardInput.data(), standardInput.size()) ==
                         static_cast<ssize_t>(standardInput.size());
    input.write.Close();
    return written ? std::string() : std::string("its input cannot be written");
}

} // namespace

int RunProgramAndWait(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workingDirectory, const std::string& outputFile,
                      std::chrono::seconds limit, const std::string& standardInput) {
    startError.clear();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::string path = Resolve(program, workingDirectory);
    std::vector<std::string> storage;
    auto argv = Argv(path, args, storage);
    auto cannot = [&](const std::string& why) {
        startError = "cannot start " + path + ": " + why;
        return -1;
    };
    Pipe input;
    if (const std::string why = PrepareInput(input, standardInput); !why.empty())
        return cannot(why);
    Pipe report;
    if (!report.Open())
        return cannot(std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0)
        return cannot(std::strerror(errno));
    if (pid == 0)
        ExecChild(argv, workingDirectory, outputFile.empty() ? "/dev/null" : outputFile.c_str(),
                  report.write.get(), input.read.get());
    input.read.Close();
    report.write.Close();
    StartFailure failure{};
    const ssize_t n = ::read(report.read.get(), &failure, sizeof failure); // 0 once started
    report.read.Close();
    if (n == static_cast<ssize_t>(sizeof failure))
        startError = StartFailureText(failure, path, workingDirectory);
    const int outcome = WaitWatching(pid, limit, deadline);
    // A program that could not be started: -1, whatever the child's own exit said.
    return n > 0 && outcome != kStoppedByRequest && outcome != kTimedOut ? -1 : outcome;
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& outputFile) {
    Stop();
    startError.clear();
    exitStatus_ = -1;
    std::vector<std::string> storage;
    auto argv = Argv(program, args, storage);
    Pipe report;
    if (!report.Open()) {
        startError = "cannot start " + program + ": " + std::strerror(errno);
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        startError = "cannot start " + program + ": " + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127); // the parent ended already
        ExecChild(argv, "", outputFile.empty() ? "/dev/null" : outputFile.c_str(),
                  report.write.get());
    }
    report.write.Close();
    StartFailure failure{};
    if (::read(report.read.get(), &failure, sizeof failure) ==
        static_cast<ssize_t>(sizeof failure)) {
        startError = StartFailureText(failure, program, "");
        int status = 0;
        ::waitpid(pid, &status, 0);
        return false;
    }
    pid_ = pid;
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0)
        return true;
    exitStatus_ = r == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return false;
}

void ChildProcess::Stop() {
    if (pid_ <= 0)
        return;
    int status = 0;
    EndChild(pid_, status);
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
}

std::string ProgramStartError() {
    return startError;
}

int StartInPipeline(const std::vector<std::string>& argv, int input, int output,
                    const std::string& errorFile) {
    startError.clear();
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    Pipe report;
    if (!report.Open()) {
        startError = "cannot run " + argv[0] + ": " + std::strerror(errno);
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        startError = "cannot run " + argv[0] + ": " + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (input >= 0)
            ::dup2(input, 0);
        if (output >= 0)
            ::dup2(output, 1);
        if (const int e = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600); e >= 0)
            ::dup2(e, 2);
        LowerOwnPriority();
        ::execvp(args[0], args.data());
        const StartFailure failure{2, errno};
        ssize_t ignored = ::write(report.write.get(), &failure, sizeof failure);
        (void)ignored;
        ::_exit(127);
    }
    report.write.Close();
    StartFailure failure{};
    if (::read(report.read.get(), &failure, sizeof failure) ==
        static_cast<ssize_t>(sizeof failure)) {
        startError = StartFailureText(failure, argv[0], "");
        int status = 0;
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return pid;
}

LowPriorityPrograms::LowPriorityPrograms(bool on) : was_(lowPriority) {
    lowPriority = on;
}

LowPriorityPrograms::~LowPriorityPrograms() {
    lowPriority = was_;
}

namespace {
std::atomic<bool> personWaits{false};
} // namespace

void APersonWaits() {
    personWaits = true;
}

void ThisThreadRunsLow() {
    if (HelpersRunLow())
        LowerCallersPriority();
}

bool HelpersRunLow() {
    return !personWaits && GetSettingBool("Monitor", "LowPriorityHelpers", "1", true);
}

int WaitForExit(int pid, std::string* how) {
    if (pid <= 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (how)
        *how = WIFSIGNALED(status) ? std::string("ended by signal ") + strsignal(WTERMSIG(status))
                                   : std::string("ended");
    return -1;
}

} // namespace zenta
