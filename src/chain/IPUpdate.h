#pragma once

#include <string>

namespace zenta {

// Reports the branch's address to head office when this computer hosts the shop's database,
// the shop is a chain branch and its address is not fixed; logs the outcome in
// Log/IPUpdate.log and the job record. A call made while one runs returns at once. Why no
// report was sent ("the shop is not part of a chain (option CadenaFunciona is 0)"), "" when
// one was (its outcome is in the job record).
std::string IPUpdateProc();

// The key under which the branch password is stored with ENCODE.
constexpr const char* kSubTiendaPasswordKey = "qoltavgrocerylane4826";

} // namespace zenta
