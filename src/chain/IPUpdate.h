#pragma once

namespace zenta {

// Reports the branch's address to head office when this computer hosts the shop's database,
// the shop is a chain branch and its address is not fixed; logs the outcome in
// Log/IPUpdate.log. A call made while one runs returns at once.
void IPUpdateProc();
// Whether the last call of IPUpdateProc sent a report (its outcome is in the job record).
bool IPReportSent();

// The key under which the branch password is stored with ENCODE.
constexpr const char* kSubTiendaPasswordKey = "qoltavgrocerylane4826";

} // namespace zenta
