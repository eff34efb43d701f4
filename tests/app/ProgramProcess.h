#pragma once

// The built program run as a process of its own, as users and service managers run it.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zenta::test {

class Program {
  public:
    // `env` entries are "NAME=value"; without `display` the program runs headless.
    Program(const std::string& folder, const std::vector<std::string>& env, bool display = false,
            const std::vector<std::string>& args = {}) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (!display) {
                ::unsetenv("DISPLAY");
                ::unsetenv("WAYLAND_DISPLAY");
            }
            for (auto& e : env)
                ::putenv(const_cast<char*>(e.c_str()));
            ::chdir("/");
            const std::string exe = folder + "ZentaMarketMonitor";
            ::freopen((folder + "stderr.txt").c_str(), "w", stderr);
            ::freopen((folder + "stdout.txt").c_str(), "w", stdout);
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // The exit status, or -1 when it did not end in time.
    int WaitExit(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
}

} // namespace zenta::test
