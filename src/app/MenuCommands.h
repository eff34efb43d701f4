#pragma once

#include "Printers.h"

#include "clsOrdenadorEjecutando.h"

namespace zenta {

// The commands of the tray menu, without the window around them.
void CmdClearPrinterJobs();
void CmdTodayRecording();
void CmdRecordingOnTime();
void CmdDBFormato();
void CmdRunningComputer();
// A pair's server kept read-only because the other cannot be reached: opened for sales after a
// person's yes to the risk (the other computer might have been promoted).
void CmdOpenThisServer();

// The program-wide running-workstation object, created on first use.
clsOrdenadorEjecutando& OrdenadorEjecutando();
void ReleaseOrdenadorEjecutando();

// Print queues are cleared through this; tests may count the calls.
using PrinterJobCanceller = PrintQueuesCleared (*)();
void SetPrinterJobCanceller(PrinterJobCanceller canceller);

} // namespace zenta
