#include "Process.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace zenta {

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t runningChild = 0;

void OnStopDeadline(int) {
    const pid_t child = runningChild;
    if (child > 0)
        ::kill(child, SIGKILL);
    static const char text[] = "stop deadline reached: ending at once\n";
    ssize_t ignored = ::write(2, text, sizeof text - 1);
    (void)ignored;
    ::_exit(0);
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

std::function<void()>& Hook() {
    static std::function<void()> hook;
    return hook;
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
    if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0)
        ::_exit(127);
    RedirectStandardStreams(output, input);
    ::execvp(argv[0], argv.data());
    int err = errno;
    ssize_t ignored = ::write(errorPipe, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
}

} // namespace

bool StartProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::string& workingDirectory) {
    const std::string path = Resolve(program, workingDirectory);
    std::vector<std::string> storage;
    auto argv = Argv(path, args, storage);
    // The grandchild reports a failed exec through this pipe.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (child == 0) {
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0)
            ::_exit(grandchild < 0 ? 1 : 0);
        ::close(fds[0]);
        ExecChild(argv, workingDirectory, "/dev/null", fds[1]);
    }
    ::close(fds[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    int err = 0;
    ssize_t n = ::read(fds[0], &err, sizeof err);
    ::close(fds[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
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

bool OpenWithDesktop(const std::string& target) {
    return StartProgram("xdg-open", {target}, "");
}

int RunProgramAndWait(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workingDirectory, const std::string& outputFile,
                      std::chrono::seconds limit, const std::string& standardInput) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::string path = Resolve(program, workingDirectory);
    std::vector<std::string> storage;
    auto argv = Argv(path, args, storage);
    // The input is written into a pipe before the program starts: it must fit the pipe.
    int input[2] = {-1, -1};
    if (!standardInput.empty()) {
        if (standardInput.size() > PIPE_BUF || ::pipe2(input, O_CLOEXEC) != 0)
            return -1;
        const bool written = ::write(input[1], standardInput.data(), standardInput.size()) ==
                             static_cast<ssize_t>(standardInput.size());
        ::close(input[1]);
        if (!written) {
            ::close(input[0]);
            return -1;
        }
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        if (input[0] >= 0)
            ::close(input[0]);
        return -1;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        if (input[0] >= 0)
            ::close(input[0]);
        return -1;
    }
    if (pid == 0) {
        ::close(fds[0]);
        ExecChild(argv, workingDirectory, outputFile.empty() ? "/dev/null" : outputFile.c_str(),
                  fds[1], input[0]);
    }
    if (input[0] >= 0)
        ::close(input[0]);
    ::close(fds[1]);
    int err = 0;
    ssize_t n = ::read(fds[0], &err, sizeof err); // returns 0 once exec succeeded
    ::close(fds[0]);
    int status = 0;
    runningChild = pid;
    bool stopped = false;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR) {
            runningChild = 0;
            return -1;
        }
        if (StopRequested()) {
            EndChild(pid, status);
            stopped = true;
            break;
        }
        if (limit.count() > 0 && std::chrono::steady_clock::now() > deadline) {
            EndChild(pid, status);
            runningChild = 0;
            return kTimedOut;
        }
        if (r == 0) {
            CallWaitHook();
            timespec ts{0, 20 * 1000 * 1000};
            ::nanosleep(&ts, nullptr);
        }
    }
    runningChild = 0;
    if (stopped)
        return kStoppedByRequest;
    if (n > 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void SetWaitHook(std::function<void()> hook) {
    Hook() = std::move(hook);
}

void CallWaitHook() {
    if (Hook())
        Hook()();
}

void NotifyServiceManager(const std::string& state) {
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    if (!socketPath || !*socketPath)
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = socketPath;
    if (path.size() >= sizeof addr.sun_path)
        return;
    std::memcpy(addr.sun_path, path.data(), path.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    if (path[0] == '@')
        addr.sun_path[0] = '\0'; // an abstract socket
    else
        ++length;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
             length);
    ::close(fd);
}

void RequestStop() {
    stopRequested = 1;
}

bool StopRequested() {
    return stopRequested != 0;
}

void ClearStopRequest() {
    stopRequested = 0;
}

void ArmStopDeadline(unsigned seconds) {
    struct sigaction sa {};
    sa.sa_handler = OnStopDeadline;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    ::alarm(seconds);
}

} // namespace zenta
