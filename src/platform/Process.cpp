#include "Process.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace zenta {

namespace {

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

void RedirectStandardStreams(const char* out) {
    int in = ::open("/dev/null", O_RDONLY);
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
                            const char* output, int errorPipe) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0)
        ::_exit(127);
    RedirectStandardStreams(output);
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

bool OpenWithDesktop(const std::string& target) {
    return StartProgram("xdg-open", {target}, "");
}

int RunProgramAndWait(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workingDirectory, const std::string& outputFile) {
    const std::string path = Resolve(program, workingDirectory);
    std::vector<std::string> storage;
    auto argv = Argv(path, args, storage);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        ::close(fds[0]);
        ExecChild(argv, workingDirectory, outputFile.empty() ? "/dev/null" : outputFile.c_str(),
                  fds[1]);
    }
    ::close(fds[1]);
    int err = 0;
    ssize_t n = ::read(fds[0], &err, sizeof err); // returns 0 once exec succeeded
    ::close(fds[0]);
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, Hook() ? WNOHANG : 0);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return -1;
        if (r == 0) {
            Hook()();
            timespec ts{0, 20 * 1000 * 1000};
            ::nanosleep(&ts, nullptr);
        }
    }
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

} // namespace zenta
