#include "StopRequest.h"

#include <csignal>
#include <signal.h>
#include <unistd.h>

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

} // namespace

void RequestStop() {
    stopRequested = 1;
}

bool StopRequested() {
    return stopRequested != 0;
}

void ClearStopRequest() {
    stopRequested = 0;
}

void SetRunningChild(int pid) {
    runningChild = pid;
}

int RunningChild() {
    return runningChild;
}

void ArmStopDeadline(unsigned seconds) {
    struct sigaction sa {};
    sa.sa_handler = OnStopDeadline;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    ::alarm(seconds);
}

} // namespace zenta
