#pragma once

#include <cstdint>
#include <string>

namespace zenta {

// The client of the chain's head-office web service: chooses the server that is online, has
// the branch's address recorded, fetches the branch's FTP password and folder, checks and
// archives published files and reads the description of the chain's basic-data export.
class clsLianSuoDian {
  public:
    static constexpr const char* kOfflineMessage = "网络故障或服务器离线...";

    void UpdateServer(const std::string& cadenaID, const std::string& subTiendaID,
                      const std::string& subTiendaPassword);
    bool UpdateIP();
    bool LoadGoodsPic(const std::string& fileName);
    std::string FileMD5(const std::string& pathName);
    std::int16_t SevenZipFile(const std::string& pathName);

    const std::string& ServidorNombre() const { return servidorNombre_; }
    std::string ServidorMySQLPort() const { return "33061"; }
    std::string ServidorPassword();
    std::string ServidorFTPPath();
    bool IsServidorMaestro() const { return isServidorMaestro_; }
    bool IsServidorOnline() const { return isServidorOnline_; }
    const std::string& UpdateIPError() const { return updateIPError_; }
    const std::string& IPLocal() const { return ipLocal_; }

    bool DBBasicExists();
    std::string DBBasicVersion();
    std::string DBBasicDateTime();
    std::string DBBasicMD5();
    std::int32_t DBBasicSize();
    void DBBasicInfoGeted(bool value) { dbBasicInfoGeted_ = value; }

    // The local copy of dbbasic.ini: <program>/Temp/TiendasCadena/dbbasic.ini.
    static std::string DBBasicLocalFile();

  private:
    std::string Fetch(const std::string& scriptAndQuery) const;
    std::string BranchQuery() const;
    void GetDBBasicInfo();

    std::string cadenaID_, subTiendaID_, subTiendaPassword_;
    std::string servidorNombre_;
    bool isServidorMaestro_ = false;
    bool isServidorOnline_ = false;
    std::string servidorPassword_;
    bool servidorPasswordFetched_ = false;
    std::string servidorFTPPath_;
    bool servidorFTPPathFetched_ = false;
    bool dbBasicInfoGeted_ = false;
    bool dbBasicExists_ = false;
    std::string dbBasicVersion_, dbBasicDateTime_, dbBasicMD5_;
    std::int32_t dbBasicSize_ = 0;
    std::string ipLocal_;
    std::string updateIPError_;
};

} // namespace zenta
