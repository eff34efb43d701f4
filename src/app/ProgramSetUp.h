#pragma once

namespace zenta {

// What every run of the program sets up first, the monitor and a one-shot command alike: the
// program folder and the program's name, the Log folder, this computer's address, and how
// failures end: the monitor follows [Debug] ReleaseVersion; a one-shot command always reports
// them through its exit status and never ends early.
void SetUpProgramGlobals(bool oneShot);

// SIGTERM, SIGINT and SIGHUP ask for a stop and arm the stop deadline, so that the program ends
// within it in every state. `also` (async-signal-safe only) runs in the handler too.
void HandleStopSignals(void (*also)() = nullptr);

} // namespace zenta
