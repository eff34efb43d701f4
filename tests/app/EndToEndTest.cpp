// The built program in a program folder of its own, against the private server.
#include "../chain/TestServers.h"
#include "CodePage.h"
#include "DbFixture.h"
#include "ProgramProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

class EndToEnd : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        fs::copy_file(BinaryDir() + "/bin/ZentaMarketMonitor", AppPath() + "ZentaMarketMonitor");
        env_ = {"QT_QPA_PLATFORM=offscreen"};
    }
    void Settings(const std::string& host, int port) {
        WriteFile(AppPath() + "zentamarket.ini", "[MySQL]\r\nMySQLHost=" + host + "\r\nMySQLPort=" +
                                                     std::to_string(port) + "\r\n");
    }
    size_t Archives() {
        size_t n = 0;
        if (fs::exists(AppPath() + "Backup"))
            for (auto& e : fs::directory_iterator(AppPath() + "Backup"))
                n += e.path().extension() == ".ZTB";
        return n;
    }
    std::vector<std::string> env_;
};

TEST_F(EndToEnd, TheStartUpCycleDoesTheShopsHousekeepingAndTheProgramEndsCleanly) {
    HeadOfficeServer headOffice;
    headOffice.Answer("/tools/getserverstatus.php", "0");
    headOffice.Answer("/tools/updateip.php", "0:203.0.113.7");
    env_.push_back("ZENTA_HEADOFFICE_PRIMARY=" + headOffice.Host());
    env_.push_back("ZENTA_HEADOFFICE_SECONDARY=127.0.0.1:1");
    Sql("INSERT INTO opcion (ID, IntegerValor, VarCharValor) VALUES ('AutoBackupOpcion', 1, NULL),"
        "('AutoEliminarTicket', 1, NULL), ('AutoEliminarTicketPeriodo', 0, NULL),"
        "('CadenaFunciona', 1, NULL), ('CadenaID', NULL, '12'), ('SubTiendaID', NULL, '7');"
        "INSERT INTO ticket (TicketNo, Fecha) VALUES (1001010001, '2010-01-01 10:00:00');"
        "INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 2.5), (1, 'A', "
        "1);"
        "INSERT INTO articulo (ArticuloID, NombreES) VALUES ('', 'sin id');");
    Settings("127.0.0.1", DbPort());
    Program program(AppPath(), env_);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(AppPath() + "Log/IPUpdate.log"); },
                        std::chrono::seconds(60)))
        << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log");
    EXPECT_EQ(Archives(), 1u);
    EXPECT_EQ(
        Sql("SELECT IntegerValor = TO_DAYS(NOW()) FROM opcion WHERE ID = 'LastDateAutoBackup';"),
        "1\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM ticket;"), "0\n");
    EXPECT_EQ(Sql("SELECT Stock FROM stock;"), "3.500\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM articulo;"), "0\n");
    EXPECT_NE(FromAnsi(ReadFile(AppPath() + "Log/IPUpdate.log"))
                  .find("=12:7  IP更新成功！本机 IP: 203.0.113.7"),
              std::string::npos);

    Program second(AppPath(), env_);
    EXPECT_EQ(second.WaitExit(std::chrono::seconds(5)), 0);
    EXPECT_EQ(Archives(), 1u);

    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(std::chrono::seconds(10)), 0);
    EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find(" ended"), std::string::npos);
    // Nothing the program made is open to every user, and no table export stayed behind.
    for (const auto& e : fs::recursive_directory_iterator(AppPath())) {
        if (e.is_symlink() || e.path().filename() == "stderr.txt" ||
            e.path().filename() == "stdout.txt")
            continue;
        EXPECT_EQ(e.status().permissions() & fs::perms::others_write, fs::perms::none) << e.path();
    }
    EXPECT_TRUE(fs::is_empty(AppPath() + "Temp/Backup"));
    EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find("no display"),
              std::string::npos);
}

TEST_F(EndToEnd, AWorkstationWhoseDatabaseIsElsewhereRunsNoJob) {
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1), ('CadenaFunciona', "
        "1);"
        "INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad) VALUES (1, 'A', 1);");
    Settings("127.0.0.2", DbPort()); // the same server, seen as another computer
    Program program(AppPath(), env_);
    ASSERT_TRUE(WaitFor(
        [&] {
            return ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find("hot keys") !=
                   std::string::npos;
        },
        std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(Archives(), 0u);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM stockcambio;"), "1\n");
    EXPECT_FALSE(fs::exists(AppPath() + "Log/IPUpdate.log"));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(std::chrono::seconds(10)), 0);
}

TEST_F(EndToEnd, AServerThatComesUpLaterIsWaitedFor) {
    const std::string dir = BinaryDir() + "/testenv/mariadb-late";
    const int port = DbPort() + 1;
    const std::string start = SourceDir() + "/scripts/local-mariadb start '" + dir + "' " +
                              std::to_string(port) + " >/dev/null";
    const std::string stop = SourceDir() + "/scripts/local-mariadb stop '" + dir + "' >/dev/null";
    const std::string client = "mariadb --no-defaults -uroot --socket='" + dir + "/mysqld.sock' ";
    // The shop's database is made first, so that the program finds it whole when it connects.
    Shell(stop);
    ASSERT_EQ(Shell(start), 0);
    ASSERT_EQ(
        Shell(
            client +
            "-e 'DROP DATABASE IF EXISTS zentasupermarket; CREATE DATABASE zentasupermarket;' && " +
            client + "zentasupermarket < '" + SourceDir() + "/schema/zentasupermarket.sql' && " +
            client +
            "zentasupermarket -e \"INSERT INTO opcion (ID, IntegerValor) VALUES "
            "('AutoBackupOpcion', 1);\""),
        0);
    Shell(stop);
    Settings("127.0.0.1", port);
    Program program(AppPath(), env_);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(program.WaitExit(std::chrono::milliseconds(10)), -1); // still waiting
    EXPECT_EQ(Archives(), 0u);
    ASSERT_EQ(Shell(start), 0);
    EXPECT_TRUE(WaitFor([&] { return Archives() == 1; }, std::chrono::seconds(60)));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(std::chrono::seconds(10)), 0);
    Shell(stop);
}

TEST_F(EndToEnd, SigtermWhileWaitingForTheServerEndsWithStatusZero) {
    Settings("127.0.0.1", 1);
    Program program(AppPath(), env_);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(std::chrono::seconds(5)), 0);
}

namespace {

// 40 MB that no archiver can make smaller, so that packing takes a few seconds.
void AddIncompressiblePictures() {
    std::string parts;
    for (int i = 0; i < 32; ++i)
        parts += std::string(i ? ", " : "") + "RANDOM_BYTES(1024)";
    Sql("INSERT INTO articulodibujo (ArticuloID, Dibujo) SELECT CONCAT('P', seq), CONCAT(" + parts +
        ") FROM seq_1_to_1250;");
}

std::vector<std::string> WholeArchives(const std::string& folder) {
    std::vector<std::string> good;
    if (fs::exists(folder))
        for (auto& e : fs::directory_iterator(folder)) {
            const std::string name = e.path().filename().string();
            if (name.size() == 29 && name.rfind("ZentaMarket", 0) == 0 &&
                name.substr(25) == ".ZTB" &&
                Shell("7zz t '" + e.path().string() + "' >/dev/null") == 0)
                good.push_back(name);
        }
    std::sort(good.begin(), good.end());
    return good;
}

std::vector<std::string> Partials(const std::string& folder) {
    std::vector<std::string> found;
    if (fs::exists(folder))
        for (auto& e : fs::directory_iterator(folder))
            if (e.path().extension() == ".partial")
                found.push_back(e.path().string());
    return found;
}

bool PackingUnderWay(const std::string& backup) {
    for (const auto& p : Partials(backup)) {
        std::error_code ec;
        if (fs::file_size(p, ec) > (1u << 20))
            return true;
    }
    return false;
}

} // namespace

TEST_F(EndToEnd, AProgramKilledWhilePackingCostsNoGoodArchiveAndTheNextStartCleansUp) {
    AddIncompressiblePictures();
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1), "
        "('MaxBackupFile', 3);");
    const std::string backup = AppPath() + "Backup/";
    fs::create_directories(backup);
    TempDir spare;
    MakeSmallArchive(spare.path() + "good.7z");
    for (const char* day : {"01", "02", "03"})
        fs::copy_file(spare.path() + "good.7z", backup + "ZentaMarket202401" + day + "120000.ZTB");
    // The real archiver, whose process id the test can see.
    const std::string wrapper = spare.path() + "7zz-pid";
    WriteFile(wrapper, "#!/bin/sh\necho $$ > '" + spare.path() + "7zz.pid'\nexec 7zz \"$@\"\n");
    fs::permissions(wrapper, fs::perms::owner_all);
    Settings("127.0.0.1", DbPort());
    {
        auto env = env_;
        env.push_back("ZENTA_7ZIP=" + wrapper);
        Program program(AppPath(), env);
        ASSERT_TRUE(WaitFor([&] { return PackingUnderWay(backup); }, std::chrono::seconds(60)))
            << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log");
        // A power cut: the program and its archiver die at once.
        program.Signal(SIGKILL);
        ::kill(std::stoi(ReadFile(spare.path() + "7zz.pid")), SIGKILL);
        EXPECT_EQ(program.WaitExit(std::chrono::seconds(5)), 128 + SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Partials(backup).size(), 1u);
    EXPECT_EQ(WholeArchives(backup).size(), 3u);
    EXPECT_EQ(Archives(), 3u); // nothing cut short under an archive's name
    EXPECT_FALSE(fs::is_empty(AppPath() + "Temp/Backup")); // the killed run's exports

    Program again(AppPath(), env_);
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto good = WholeArchives(backup);
            return good.size() == 3 && good.back().substr(11, 4) != "2024" &&
                   Partials(backup).empty();
        },
        std::chrono::seconds(120)))
        << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log");
    const auto good = WholeArchives(backup);
    EXPECT_EQ(good[0], "ZentaMarket20240102120000.ZTB");
    EXPECT_EQ(good[1], "ZentaMarket20240103120000.ZTB");
    EXPECT_EQ(Archives(), 3u);
    EXPECT_TRUE(fs::is_empty(AppPath() + "Temp/Backup"));
    EXPECT_EQ(
        Sql("SELECT IntegerValor = TO_DAYS(NOW()) FROM opcion WHERE ID = 'LastDateAutoBackup';"),
        "1\n");
    again.Signal(SIGTERM);
    EXPECT_EQ(again.WaitExit(std::chrono::seconds(10)), 0);
}

TEST_F(EndToEnd, SigtermWhilePackingStopsTheArchiverRecordsNothingAndSkipsTheRestOfTheCycle) {
    AddIncompressiblePictures();
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1), "
        "('AutoEliminarTicket', 1), ('AutoEliminarTicketPeriodo', 0);"
        "INSERT INTO ticket (TicketNo, Fecha) VALUES (1001010001, '2010-01-01 10:00:00');");
    const std::string backup = AppPath() + "Backup/";
    Settings("127.0.0.1", DbPort());
    Program program(AppPath(), env_);
    ASSERT_TRUE(WaitFor([&] { return PackingUnderWay(backup); }, std::chrono::seconds(60)))
        << ReadFile(AppPath() + "Log/ZentaMarketMonitor.log");
    const auto signalled = std::chrono::steady_clock::now();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(std::chrono::seconds(10)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::seconds(1)); // an archiver left running would write on
    EXPECT_TRUE(Partials(backup).empty());
    EXPECT_EQ(Archives(), 0u);
    EXPECT_TRUE(fs::is_empty(AppPath() + "Temp/Backup"));
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM opcion WHERE ID = 'LastDateAutoBackup';"), "0\n");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM ticket;"), "1\n"); // the purge never started
    EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find("packing stopped"),
              std::string::npos);
}

TEST_F(EndToEnd, SigtermWhileAHostHangsInTheHandshakeEndsWithinTenSeconds) {
    SilentListener listener;
    Settings("127.0.0.1", listener.port());
    Program program(AppPath(), env_);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto signalled = std::chrono::steady_clock::now();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(std::chrono::seconds(11)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(10));
}
