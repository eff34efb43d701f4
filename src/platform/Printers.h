#pragma once

#include <string>
#include <vector>

namespace zenta {

// What clearing the print queues came to.
struct PrintQueuesCleared {
    int queues = 0;                    // queues the print server has
    int cleared = 0;                   // queues whose jobs were all cancelled
    std::vector<std::string> failures; // "kitchen: Forbidden", one per queue not cleared
    std::string error;                 // the print server could not be asked ("" when it was)
    bool Done() const { return error.empty() && failures.empty(); }
};

// Why the print server could not be asked, in words a technician acts on: where it was asked
// (`server`: a socket path or a host, `port` for a host) and how to start it; `status` is
// libcups's.
std::string PrintServerProblem(int status, const std::string& server, int port);

// Cancels every job of every print queue (CUPS).
PrintQueuesCleared CancelAllPrinterJobs();

} // namespace zenta
