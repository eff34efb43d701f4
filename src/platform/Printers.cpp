#include "Printers.h"

#include "ErrorMode.h"

#include <cups/cups.h>
#include <string>

namespace zenta {

int CancelAllPrinterJobs() {
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    int cleared = 0;
    for (int i = 0; i < count; ++i) {
        if (cupsCancelJob2(CUPS_HTTP_DEFAULT, dests[i].name, CUPS_JOBID_ALL, 0) == IPP_STATUS_OK)
            ++cleared;
        else
            ReportFailure("CancelAllPrinterJobs",
                          std::string(dests[i].name) + ": " + cupsLastErrorString());
    }
    cupsFreeDests(count, dests);
    return cleared;
}

} // namespace zenta
