#include "HeadOffice.h"

#include "IniFile.h"
#include "Variant.h"

#include <cstdlib>

namespace zenta {

namespace {

std::string Setting(const char* env, const char* key, const char* fallback) {
    if (const char* v = std::getenv(env); v && *v)
        return v;
    const char* file = std::getenv("ZENTA_HEADOFFICE_INI");
    const std::string value = IniFile::Read(
        file && *file ? file : "/etc/opt/zentamarket/headoffice.ini", "HeadOffice", key);
    return value.empty() ? fallback : value;
}

} // namespace

std::string HeadOfficePrimaryHost() {
    return Setting("ZENTA_HEADOFFICE_PRIMARY", "Primary", "www.zentamarket.com");
}

std::string HeadOfficeSecondaryHost() {
    return Setting("ZENTA_HEADOFFICE_SECONDARY", "Secondary", "www2.zentamarket.com");
}

long HeadOfficeFtpPort() {
    const long port =
        static_cast<long>(Val(Setting("ZENTA_HEADOFFICE_FTP_PORT", "FtpPort", "21066")));
    return port > 0 ? port : 21066;
}

} // namespace zenta
