#include "Printers.h"

#include "ErrorMode.h"

#include <cups/cups.h>
#include <string>

namespace zenta {

std::string PrintServerProblem(int status, const std::string& server, int port) {
    // libcups says a failed connection as the errno of its socket ("Bad file descriptor"),
    // which tells a technician nothing: where it asked, and how to start the print server.
    if (status != IPP_STATUS_ERROR_SERVICE_UNAVAILABLE && status != IPP_STATUS_ERROR_INTERNAL)
        return "the print server (CUPS at " + server + ") refused to list the print queues";
    const bool socket = !server.empty() && server.front() == '/';
    return "the print server (CUPS) does not answer at " +
           (socket ? "its socket " + server : server + ":" + std::to_string(port)) +
           (socket || server == "localhost" || server.rfind("127.", 0) == 0
                ? ": start it with \"sudo systemctl start cups\" (the cups package), or set "
                  "CUPS_SERVER to the print server that is meant"
                : ": is that computer on, and its print server running?");
}

PrintQueuesCleared CancelAllPrinterJobs() {
    PrintQueuesCleared result;
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    // No queue and an error: the print server did not answer (as `cancel -a` says, it cannot
    // be contacted); nothing was cancelled.
    if (count == 0 && cupsLastError() >= IPP_STATUS_ERROR_BAD_REQUEST) {
        result.error = PrintServerProblem(cupsLastError(), cupsServer(), ippPort());
        ReportFailure("CancelAllPrinterJobs",
                      result.error + " (CUPS: " + cupsLastErrorString() + ")");
        return result;
    }
    result.queues = count;
    for (int i = 0; i < count; ++i) {
        if (cupsCancelJob2(CUPS_HTTP_DEFAULT, dests[i].name, CUPS_JOBID_ALL, 0) == IPP_STATUS_OK) {
            ++result.cleared;
            continue;
        }
        result.failures.push_back(std::string(dests[i].name) + ": " + cupsLastErrorString());
        ReportFailure("CancelAllPrinterJobs", result.failures.back());
    }
    cupsFreeDests(count, dests);
    return result;
}

} // namespace zenta
