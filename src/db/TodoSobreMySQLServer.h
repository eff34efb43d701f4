#pragma once

#include "Variant.h"

#include <optional>
#include <string>

namespace zenta {

// Whether a MySQL host name or address is this computer: "localhost", "127.0.0.1", this
// computer's name (any case) or the address that name resolves to.
bool IsMySQLServerLocal(const std::string& host);
// The database server's clock: this computer's clock when the server is this computer,
// otherwise asked of the server through the global database object. Nothing when it cannot
// be read: no job may go on with a made-up date.
std::optional<DateTime> MySQLServerNow();
std::optional<DateTime> MySQLServerDate();

} // namespace zenta
