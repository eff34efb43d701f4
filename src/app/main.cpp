#include "CommandLine.h"
#include "Startup.h"

#include <sys/stat.h>

int main(int argc, char** argv) {
    // The shop's data (logs, exports, archives, settings) is for the program's user and group:
    // nothing it makes is open to other users, whatever umask it was started with.
    const mode_t inherited = ::umask(0);
    ::umask(inherited | 0007);
    // Any argument asks for a one-shot command (or help); none starts the monitor.
    if (argc > 1)
        return zenta::RunCommandLine(argc, argv);
    return zenta::Main(argc, argv);
}
