#include "CommandLine.h"
#include "Startup.h"

int main(int argc, char** argv) {
    // Any argument asks for a one-shot command (or help); none starts the monitor.
    if (argc > 1)
        return zenta::RunCommandLine(argc, argv);
    return zenta::Main(argc, argv);
}
