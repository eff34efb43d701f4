#include "Globals.h"
#include "TestServers.h"
#include "clsLianSuoDian.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

using namespace zenta;
using namespace zenta::test;

namespace {

size_t CountRequests(const HeadOfficeServer& s, const std::string& prefix) {
    auto r = s.Requests();
    return static_cast<size_t>(std::count_if(
        r.begin(), r.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

class HeadOffice : public ::testing::Test {
  protected:
    void SetUp() override {
        primary_ = std::make_unique<HeadOfficeServer>();
        secondary_ = std::make_unique<HeadOfficeServer>();
        setenv("ZENTA_HEADOFFICE_PRIMARY", primary_->Host().c_str(), 1);
        setenv("ZENTA_HEADOFFICE_SECONDARY", secondary_->Host().c_str(), 1);
        primary_->Answer("/tools/getserverstatus.php", "0");
        secondary_->Answer("/tools/getserverstatus.php", "0");
    }
    void TearDown() override {
        unsetenv("ZENTA_HEADOFFICE_PRIMARY");
        unsetenv("ZENTA_HEADOFFICE_SECONDARY");
        unsetenv("ZENTA_HEADOFFICE_FTP_PORT");
    }
    std::unique_ptr<HeadOfficeServer> primary_, secondary_;
};

} // namespace

TEST_F(HeadOffice, ThePrimaryServerIsUsedWhileItIsInService) {
    clsLianSuoDian c;
    c.UpdateServer(" 12 ", " 7 ", " pw ");
    EXPECT_TRUE(c.IsServidorOnline());
    EXPECT_TRUE(c.IsServidorMaestro());
    EXPECT_EQ(c.ServidorNombre(), primary_->Host());
    EXPECT_EQ(c.ServidorMySQLPort(), "33061");
}

TEST_F(HeadOffice, AnyOtherStatusMovesToTheSecondary) {
    primary_->Answer("/tools/getserverstatus.php", "1");
    clsLianSuoDian c;
    c.UpdateServer("12", "7", "pw");
    EXPECT_TRUE(c.IsServidorOnline());
    EXPECT_FALSE(c.IsServidorMaestro());
    EXPECT_EQ(c.ServidorNombre(), secondary_->Host());
}

TEST_F(HeadOffice, WithNoServerEveryOperationFailsAtOnceWithoutARequest) {
    setenv("ZENTA_HEADOFFICE_PRIMARY", "127.0.0.1:1", 1);
    secondary_->Answer("/tools/getserverstatus.php", "down");
    clsLianSuoDian c;
    c.UpdateServer("12", "7", "pw");
    EXPECT_FALSE(c.IsServidorOnline());
    EXPECT_EQ(c.ServidorNombre(), secondary_->Host());
    EXPECT_FALSE(c.UpdateIP());
    EXPECT_EQ(c.UpdateIPError(), "网络故障或服务器离线...");
    EXPECT_FALSE(c.LoadGoodsPic("a.jpg"));
    EXPECT_EQ(c.SevenZipFile("x"), 9);
    EXPECT_EQ(c.FileMD5("x"), "");
    EXPECT_EQ(c.ServidorPassword(), "");
    EXPECT_EQ(c.ServidorFTPPath(), "");
    EXPECT_FALSE(c.DBBasicExists());
    EXPECT_EQ(secondary_->Requests(), (std::vector<std::string>{"/tools/getserverstatus.php"}));
}

TEST_F(HeadOffice, UpdateIPAnswersAndTheirMessages) {
    clsLianSuoDian c;
    c.UpdateServer("12", "7", "a&b #+c");
    const std::vector<std::pair<std::string, std::string>> table = {
        {"1", "服务器数据库连接不上."}, {"2", "公司编号错误."},
        {"3", "分店编号错误."},         {"4", "密码错误."},
        {"5", "无法获得IP."},           {"9", "无法识别的故障."},
        {"0", "无法识别的故障."},       {"", "网络故障或服务器离线..."}};
    for (auto& [answer, message] : table) {
        primary_->Answer("/tools/updateip.php", answer);
        EXPECT_FALSE(c.UpdateIP()) << answer;
        EXPECT_EQ(c.UpdateIPError(), message) << answer;
        EXPECT_EQ(c.IPLocal(), "");
    }
    primary_->Answer("/tools/updateip.php", " 0:203.0.113.9 ");
    EXPECT_TRUE(c.UpdateIP());
    EXPECT_EQ(c.IPLocal(), "203.0.113.9");
    EXPECT_EQ(c.UpdateIPError(), "");
    EXPECT_EQ(primary_->Requests().back(),
              "/tools/updateip.php?compid=12&branchid=7&password=a%26b%20%23%2Bc");
}

TEST_F(HeadOffice, PasswordPathChecksumAndArchiveRequests) {
    clsLianSuoDian c;
    c.UpdateServer("12", "7", "pw");
    primary_->Answer("/tools/getpassword.php", "0:ignored:drowssap");
    primary_->Answer("/tools/getftppath.php", "/ftp/chains/");
    EXPECT_EQ(c.ServidorPassword(), "password");
    EXPECT_EQ(c.ServidorPassword(), "password");
    EXPECT_EQ(CountRequests(*primary_, "/tools/getpassword.php"), 1u); // cached
    EXPECT_EQ(c.ServidorFTPPath(), "/ftp/chains/12");
    primary_->Answer("/tools/getfilemd5.php", std::string(31, 'a'));
    EXPECT_EQ(c.FileMD5("f"), "");
    primary_->Answer("/tools/getfilemd5.php", std::string(33, 'a'));
    EXPECT_EQ(c.FileMD5("f"), "");
    primary_->Answer("/tools/getfilemd5.php", std::string(32, 'a'));
    EXPECT_EQ(c.FileMD5("f"), std::string(32, 'a'));
    primary_->Answer("/tools/sevenzipfile.php", "3");
    EXPECT_EQ(c.SevenZipFile("dir/f"), 3);
    EXPECT_EQ(primary_->Requests().back(), "/tools/sevenzipfile.php?compid=12&filename=dir%2Ff");
    for (auto [answer, ok, message] :
         std::vector<std::tuple<std::string, bool, std::string>>{{"0", true, ""},
                                                                 {"3", false, "文件不存在."},
                                                                 {"2", false, "公司编号错误."},
                                                                 {"7", false, "无法识别的故障."}}) {
        primary_->Answer("/tools/loadgoodspic.php", answer);
        EXPECT_EQ(c.LoadGoodsPic("pic 1.jpg"), ok);
        EXPECT_EQ(c.UpdateIPError(), message);
    }
    // A new server choice forgets the cached answers.
    primary_->Answer("/tools/getpassword.php", "0:wen");
    c.UpdateServer("12", "7", "pw");
    EXPECT_EQ(c.ServidorPassword(), "new");
}

TEST_F(HeadOffice, BasicDataDescriptionComesOncePerServerChoiceOverFtp) {
    TempDir app("app"), ftpRoot("ftproot");
    Globals::AppPath = app.path();
    std::filesystem::create_directories(app.path() + "Temp/TiendasCadena");
    std::filesystem::create_directories(ftpRoot.path() + "dbbasic");
    WriteFile(ftpRoot.path() + "dbbasic/dbbasic.ini",
              "[Version]\r\nZentaSuperMarket=3.12\r\n[Export]\r\nDateTime=2024-03-15 10:00:00\r\n"
              "[File]\r\nMD5=0123456789abcdef0123456789abcdef\r\nSize=123456\r\n");
    const int ftpPort = 21066 + (getpid() % 500) + 1;
    setenv("ZENTA_HEADOFFICE_FTP_PORT", std::to_string(ftpPort).c_str(), 1);
    PythonServer ftp(
        "ftp_server.py",
        {std::to_string(ftpPort), ftpRoot.path(), "market_12", "s3cret", app.path() + "ftp-ready"},
        app.path() + "ftp-ready");
    primary_->Answer("/tools/getfilemd5.php", std::string(32, 'f'));
    primary_->Answer("/tools/getpassword.php", "0:terc3s");
    clsLianSuoDian c;
    c.UpdateServer("12", "7", "pw");
    EXPECT_TRUE(c.DBBasicExists());
    EXPECT_EQ(c.DBBasicVersion(), "3.12");
    EXPECT_EQ(c.DBBasicDateTime(), "2024-03-15 10:00:00");
    EXPECT_EQ(c.DBBasicMD5(), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(c.DBBasicSize(), 123456);
    // Asked again: no new transfer, even though the file is gone at the head office.
    std::filesystem::remove(ftpRoot.path() + "dbbasic/dbbasic.ini");
    EXPECT_EQ(c.DBBasicVersion(), "3.12");
    EXPECT_EQ(CountRequests(*primary_, "/tools/getfilemd5.php"), 1u);
    // A new server choice fetches again: the transfer fails now and the values are empty.
    c.UpdateServer("12", "7", "pw");
    EXPECT_TRUE(c.DBBasicExists());
    EXPECT_EQ(c.DBBasicVersion(), "");
    EXPECT_EQ(c.DBBasicSize(), 0);
    EXPECT_FALSE(std::filesystem::exists(clsLianSuoDian::DBBasicLocalFile()));
}
