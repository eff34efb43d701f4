#pragma once

namespace zenta {

// A stop of the whole program (SIGTERM, SIGINT, the end of the session). Safe to call from a
// signal handler. From then on a running child program is ended and long jobs give up at their
// next step.
void RequestStop();
bool StopRequested();
// Forgets an earlier stop request (tests run several programs' lives in one process).
void ClearStopRequest();

// How long the program may take to end once a stop was asked for; after it, whatever is still
// running is abandoned (ArmStopDeadline).
constexpr unsigned kStopDeadlineSeconds = 8;
// Safe to call from a signal handler: when the program has not ended `seconds` after this call
// (a statement stuck in the database driver), the child program being waited for is killed and
// the process ends with status 0. Whatever that leaves half-done is of the kind the next start
// cleans up: temporary files, and transactions the server rolls back when the connection drops.
void ArmStopDeadline(unsigned seconds = kStopDeadlineSeconds);
// The child program being waited for (0: none), which the deadline kills.
void SetRunningChild(int pid);
int RunningChild();

} // namespace zenta
