#pragma once

#include "clsDataBase.h"

namespace zenta {

constexpr const char* kReferenceDatabase = "zentasupermarketbasic";

// Makes sure the reference database zentasupermarketbasic exists and belongs to this program
// version; rebuilds it from <program>/Database/MySQLSetup.dat when it does not (always, with
// `force`). The connection is back on zentasupermarket afterwards.
void InstallBasicDataBase(clsDataBase& db, bool force);

} // namespace zenta
