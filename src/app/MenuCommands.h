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

// The program-wide running-workstation object, created on first use.
clsOrdenadorEjecutando& OrdenadorEjecutando();
void ReleaseOrdenadorEjecutando();

// Print queues are cleared through this; tests may count the calls.
using PrinterJobCanceller = PrintQueuesCleared (*)();
void SetPrinterJobCanceller(PrinterJobCanceller canceller);

} // namespace zenta
