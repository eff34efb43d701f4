// The program started the way its systemd unit starts it: headless, reporting readiness to the
// service manager through $NOTIFY_SOCKET, and ending cleanly on SIGTERM.
#include "DbFixture.h"
#include "ProgramProcess.h"

#include <filesystem>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The unit's "Key=value" lines for one key.
std::vector<std::string> UnitValues(const std::string& unit, const std::string& key) {
    std::vector<std::string> values;
    std::istringstream in(unit);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + "=", 0) == 0)
            values.push_back(line.substr(key.size() + 1));
    return values;
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~NotifySocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    // Everything received within `limit`, messages joined with "|".
    std::string Receive(std::chrono::milliseconds limit, const std::string& until) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end &&
               received_.find(until) == std::string::npos) {
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                received_ += std::string(buffer, static_cast<size_t>(n)) + "|";
            else
                std::this_thread::sleep_for(20ms);
        }
        return received_;
    }

  private:
    std::string path_;
    std::string received_;
    int fd_ = -1;
};

} // namespace

class Service : public DbTest {};

TEST_F(Service, StartedAsItsUnitStartsItTheProgramRunsHeadlessReportsReadinessAndStopsCleanly) {
    const std::string unit = ReadFile(BinaryDir() + "/zentamarket-monitor.service");
    ASSERT_FALSE(unit.empty());
    EXPECT_EQ(UnitValues(unit, "Type"), (std::vector<std::string>{"notify"}));
    const auto exec = UnitValues(unit, "ExecStart");
    ASSERT_EQ(exec.size(), 1u);
    EXPECT_EQ(exec[0].substr(exec[0].rfind('/')), "/ZentaMarketMonitor"); // no arguments
    fs::copy_file(BinaryDir() + "/bin/ZentaMarketMonitor", AppPath() + "ZentaMarketMonitor");
    Sql("INSERT INTO opcion (ID, IntegerValor) VALUES ('AutoBackupOpcion', 1);");

    NotifySocket notify(AppPath() + "notify.sock");
    std::vector<std::string> env = UnitValues(unit, "Environment");
    env.push_back("NOTIFY_SOCKET=" + AppPath() + "notify.sock");
    env.push_back("XDG_RUNTIME_DIR="); // a service has no session runtime folder
    ::unsetenv("DISPLAY");
    Program program(AppPath(), env);
    const std::string got = notify.Receive(60s, "READY=1");
    EXPECT_NE(got.find("STATUS=waiting for the database at 127.0.0.1:"), std::string::npos) << got;
    EXPECT_NE(got.find("READY=1"), std::string::npos) << got;
    // Readiness comes as the start-up cycle begins: its backup is made after it.
    EXPECT_TRUE(WaitFor(
        [&] {
            return ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find("backup made") !=
                   std::string::npos;
        },
        60s));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.WaitExit(10s), 0);
    EXPECT_NE(notify.Receive(2s, "STOPPING=1").find("STOPPING=1"), std::string::npos);
    // Headless, and every line of the log also reached standard error (the journal).
    EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find("no display"),
              std::string::npos);
    const std::string journal = ReadFile(AppPath() + "stderr.txt");
    EXPECT_NE(journal.find("backup made"), std::string::npos);
    // No toolkit warnings among them (a missing runtime folder, a tray without a display).
    for (const char* noise : {"QStandardPaths", "qt.", "QObject::", "QSystemTrayIcon"})
        EXPECT_EQ(journal.find(noise), std::string::npos) << noise << " in:\n" << journal;
}
