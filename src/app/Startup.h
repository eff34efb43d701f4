#pragma once

namespace zenta {

// The program: start-up in the suite's order, then the event loop until the panel's icon is
// double-clicked or SIGTERM/SIGINT arrives. The exit status.
int Main(int argc, char** argv);

} // namespace zenta
