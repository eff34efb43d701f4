#pragma once

#include <string>

namespace zenta {

// The chain's head-office servers: installation constants. Defaults are built in; an
// installation points them elsewhere with /etc/opt/zentamarket/headoffice.ini
//   [HeadOffice]
//   Primary=hq1.example.com
//   Secondary=hq2.example.com:8080
//   FtpPort=21066
// (the file named by ZENTA_HEADOFFICE_INI instead, if set), and the environment variables
// ZENTA_HEADOFFICE_PRIMARY, ZENTA_HEADOFFICE_SECONDARY and ZENTA_HEADOFFICE_FTP_PORT override
// both. A host may carry a port.
std::string HeadOfficePrimaryHost();
std::string HeadOfficeSecondaryHost();
long HeadOfficeFtpPort();

} // namespace zenta
