#include "clsLianSuoDian.h"

#include "Common.h"
#include "Globals.h"
#include "HeadOffice.h"
#include "Hourglass.h"
#include "InternetFunctions.h"
#include "Settings.h"
#include "Text.h"
#include "Variant.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zenta {

namespace {

// The host part of "host[:port]", for the FTP connection.
std::string HostOnly(const std::string& server) {
    if (!server.empty() && server[0] == '[')
        return server.substr(0, server.find(']') + 1);
    const size_t colon = server.find(':');
    return colon == std::string::npos ? server : server.substr(0, colon);
}

// The message of a failed answer; `third` is what code 3 means for the request, and codes 4 and
// 5 are known only to the address report.
std::string FailureMessage(const std::string& answer, const char* third, bool addressCodes) {
    if (answer.empty())
        return clsLianSuoDian::kOfflineMessage;
    if (answer == "1")
        return "服务器数据库连接不上.";
    if (answer == "2")
        return "公司编号错误.";
    if (answer == "3")
        return third;
    if (addressCodes && answer == "4")
        return "密码错误.";
    if (addressCodes && answer == "5")
        return "无法获得IP.";
    return "无法识别的故障.";
}

} // namespace

std::string clsLianSuoDian::Fetch(const std::string& scriptAndQuery) const {
    return GetURLText(servidorNombre_ + scriptAndQuery);
}

std::string clsLianSuoDian::BranchQuery() const {
    return "?compid=" + EncodeQueryValue(cadenaID_) +
           "&branchid=" + EncodeQueryValue(subTiendaID_) +
           "&password=" + EncodeQueryValue(subTiendaPassword_);
}

void clsLianSuoDian::UpdateServer(const std::string& cadenaID, const std::string& subTiendaID,
                                  const std::string& subTiendaPassword) {
    Hourglass hourglass;
    cadenaID_ = TrimSpaces(cadenaID);
    subTiendaID_ = TrimSpaces(subTiendaID);
    subTiendaPassword_ = TrimSpaces(subTiendaPassword);
    servidorNombre_ = HeadOfficePrimaryHost();
    isServidorOnline_ = false;
    if (IsURLReachable(servidorNombre_)) {
        isServidorMaestro_ = true;
        if (Fetch("/tools/getserverstatus.php") == "0")
            isServidorOnline_ = true;
    }
    if (!isServidorOnline_) {
        servidorNombre_ = HeadOfficeSecondaryHost();
        isServidorMaestro_ = false;
        if (IsURLReachable(servidorNombre_) && Fetch("/tools/getserverstatus.php") == "0")
            isServidorOnline_ = true;
    }
    servidorPassword_.clear();
    servidorPasswordFetched_ = false;
    servidorFTPPath_.clear();
    servidorFTPPathFetched_ = false;
    dbBasicInfoGeted_ = false;
    dbBasicExists_ = false;
    dbBasicVersion_.clear();
    dbBasicDateTime_.clear();
    dbBasicMD5_.clear();
    dbBasicSize_ = 0;
}

bool clsLianSuoDian::UpdateIP() {
    Hourglass hourglass;
    ipLocal_.clear();
    if (!isServidorOnline_) {
        updateIPError_ = kOfflineMessage;
        return false;
    }
    const std::string answer = Fetch("/tools/updateip.php" + BranchQuery());
    if (answer.rfind("0:", 0) == 0) {
        ipLocal_ = TrimSpaces(ReplaceAll(answer, "0:", ""));
        updateIPError_.clear();
        return true;
    }
    updateIPError_ = FailureMessage(answer, "分店编号错误.", true);
    return false;
}

bool clsLianSuoDian::LoadGoodsPic(const std::string& fileName) {
    Hourglass hourglass;
    if (!isServidorOnline_) {
        updateIPError_ = kOfflineMessage;
        return false;
    }
    const std::string answer =
        Fetch("/tools/loadgoodspic.php?compid=" + EncodeQueryValue(cadenaID_) + "&branchid=" +
              EncodeQueryValue(subTiendaID_) + "&filename=" + EncodeQueryValue(fileName));
    if (answer == "0") {
        updateIPError_.clear();
        return true;
    }
    updateIPError_ = FailureMessage(answer, "文件不存在.", false);
    return false;
}

std::string clsLianSuoDian::ServidorPassword() {
    if (!servidorPasswordFetched_) {
        Hourglass hourglass;
        if (isServidorOnline_) {
            const std::string answer = Fetch("/tools/getpassword.php" + BranchQuery());
            if (answer.rfind("0:", 0) == 0) {
                // Sent reversed: what follows the last colon, read backwards.
                std::string reversed(answer.rbegin(), answer.rend());
                servidorPassword_ = TrimSpaces(reversed.substr(0, reversed.find(':')));
            }
        }
        servidorPasswordFetched_ = true;
    }
    return servidorPassword_;
}

std::string clsLianSuoDian::ServidorFTPPath() {
    if (!servidorFTPPathFetched_) {
        Hourglass hourglass;
        if (isServidorOnline_)
            servidorFTPPath_ = Fetch("/tools/getftppath.php") + cadenaID_;
        servidorFTPPathFetched_ = true;
    }
    return servidorFTPPath_;
}

std::string clsLianSuoDian::FileMD5(const std::string& pathName) {
    if (!isServidorOnline_)
        return {};
    const std::string answer = Fetch("/tools/getfilemd5.php?compid=" + EncodeQueryValue(cadenaID_) +
                                     "&filename=" + EncodeQueryValue(pathName));
    return answer.size() == 32 ? answer : std::string();
}

std::int16_t clsLianSuoDian::SevenZipFile(const std::string& pathName) {
    if (!isServidorOnline_)
        return 9;
    const std::string answer =
        Fetch("/tools/sevenzipfile.php?compid=" + EncodeQueryValue(cadenaID_) +
              "&filename=" + EncodeQueryValue(pathName));
    const double v = std::clamp(std::nearbyint(Val(answer)), -32768.0, 32767.0);
    return static_cast<std::int16_t>(v);
}

std::string clsLianSuoDian::DBBasicLocalFile() {
    return Globals::AppPath + "Temp/TiendasCadena/dbbasic.ini";
}

void clsLianSuoDian::GetDBBasicInfo() {
    if (dbBasicInfoGeted_)
        return;
    Hourglass hourglass;
    dbBasicExists_ = false;
    dbBasicVersion_.clear();
    dbBasicDateTime_.clear();
    dbBasicMD5_.clear();
    dbBasicSize_ = 0;
    if (isServidorOnline_ && !FileMD5("dbbasic/dbbasic.ini").empty()) {
        dbBasicExists_ = true;
        const std::string password = ServidorPassword();
        std::string local = DBBasicLocalFile();
        if (FileExists(local))
            std::remove(local.c_str());
        FtpDownload(HostOnly(servidorNombre_), HeadOfficeFtpPort(), "market_" + cadenaID_, password,
                    "/dbbasic/dbbasic.ini", local);
        if (FileExists(local)) {
            dbBasicVersion_ = GetINIValue("Version", "ZentaSuperMarket", "", local);
            dbBasicDateTime_ = GetINIValue("Export", "DateTime", "", local);
            dbBasicMD5_ = GetINIValue("File", "MD5", "", local);
            const double size = std::nearbyint(Val(GetINIValue("File", "Size", "", local)));
            dbBasicSize_ = static_cast<std::int32_t>(std::clamp(size, -2147483648.0, 2147483647.0));
        }
    }
    dbBasicInfoGeted_ = true;
}

bool clsLianSuoDian::DBBasicExists() {
    GetDBBasicInfo();
    return dbBasicExists_;
}

std::string clsLianSuoDian::DBBasicVersion() {
    GetDBBasicInfo();
    return dbBasicVersion_;
}

std::string clsLianSuoDian::DBBasicDateTime() {
    GetDBBasicInfo();
    return dbBasicDateTime_;
}

std::string clsLianSuoDian::DBBasicMD5() {
    GetDBBasicInfo();
    return dbBasicMD5_;
}

std::int32_t clsLianSuoDian::DBBasicSize() {
    GetDBBasicInfo();
    return dbBasicSize_;
}

} // namespace zenta
