#pragma once

#include <string>

namespace zenta {

// The status report of the panel: nine lines joined with CR LF (the first and the seventh
// empty): database location and data folder, the suite's database version, the server's
// version and port, the ODBC driver's version, the InnoDB lock time-out, this computer's
// address and the connection's id. Empty when there is no connection even after one
// reconnect; the panel then keeps its previous text.
std::string RefreshStatusText();

// The title line of the panel: program name, line break, "Ver." and the version.
std::string TitleText();

} // namespace zenta
