#include "Printers.h"

#include "ErrorMode.h"

#include <cups/cups.h>
#include <string>

namespace zenta {

PrintQueuesCleared CancelAllPrinterJobs() {
    PrintQueuesCleared result;
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    // No queue and an error: the print server did not answer (as `cancel -a` says, it cannot
    // be contacted); nothing was cancelled.
    if (count == 0 && cupsLastError() >= IPP_STATUS_ERROR_BAD_REQUEST) {
        result.error =
            std::string("the print server cannot be reached (") + cupsLastErrorString() + ")";
        ReportFailure("CancelAllPrinterJobs", result.error);
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
