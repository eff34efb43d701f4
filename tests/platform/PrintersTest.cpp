// Print queues against a CUPS scheduler of the test's own.
#include "Printers.h"
#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

TEST(PrintQueues, EveryJobOfEveryQueueIsCancelled) {
    if (::geteuid() != 0 ||
        Shell("command -v cupsd lpadmin lp lpstat cupsdisable >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "a private CUPS scheduler needs root and the cups packages";
    TempDir dir("cups");
    const std::string d = dir.path();
    for (auto sub : {"spool", "cache", "log", "state", "tmp"})
        fs::create_directories(d + sub);
    fs::permissions(d + "tmp", fs::perms::all);
    WriteFile(d + "cupsd.conf", "Listen " + d +
                                    "cups.sock\nLogLevel warn\nDefaultAuthType None\n"
                                    "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                                    "<Policy default>\n  <Limit All>\n    Order deny,allow\n    "
                                    "Allow all\n  </Limit>\n</Policy>\n");
    WriteFile(d + "cups-files.conf", "ServerRoot " + d + "\nRequestRoot " + d + "spool\nCacheDir " +
                                         d + "cache\nStateDir " + d + "state\nTempDir " + d +
                                         "tmp\nErrorLog " + d + "log/error_log\nAccessLog " + d +
                                         "log/access_log\nFileDevice Yes\n");
    pid_t cupsd = ::fork();
    if (cupsd == 0) {
        ::execlp("cupsd", "cupsd", "-f", "-c", (d + "cupsd.conf").c_str(), "-s",
                 (d + "cups-files.conf").c_str(), nullptr);
        ::_exit(127);
    }
    for (int i = 0; i < 100 && !fs::exists(d + "cups.sock"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::setenv("CUPS_SERVER", (d + "cups.sock").c_str(), 1);
    const std::string env = "CUPS_SERVER='" + d + "cups.sock' ";
    // Two stopped queues holding jobs.
    for (auto q : {"kitchen", "counter"})
        ASSERT_EQ(Shell(env + "lpadmin -p " + q + " -E -v file:///dev/null 2>/dev/null && " + env +
                        "cupsdisable " + q + " && " + env + "lp -d " + q +
                        " /etc/hostname >/dev/null && " + env + "lp -d " + q +
                        " /etc/hostname >/dev/null"),
                  0);
    WriteFile(d + "jobs", "");
    Shell(env + "lpstat -o > '" + d + "jobs'");
    const std::string jobs = ReadFile(d + "jobs");
    EXPECT_EQ(std::count(jobs.begin(), jobs.end(), '\n'), 4);
    const PrintQueuesCleared cleared = CancelAllPrinterJobs();
    EXPECT_TRUE(cleared.Done()) << cleared.error;
    EXPECT_EQ(cleared.queues, 2);
    EXPECT_EQ(cleared.cleared, 2);
    Shell(env + "lpstat -o > '" + d + "jobs'");
    EXPECT_EQ(ReadFile(d + "jobs"), "");
    ::kill(cupsd, SIGTERM);
    ::waitpid(cupsd, nullptr, 0);
    // The print server stopped: a failure that says so, never "cancelled".
    const PrintQueuesCleared away = CancelAllPrinterJobs();
    EXPECT_FALSE(away.Done());
    // Said where it was asked and how to start it, not as libcups's errno.
    EXPECT_NE(away.error.find("does not answer at its socket " + d + "cups.sock"),
              std::string::npos)
        << away.error;
    EXPECT_NE(away.error.find("systemctl start cups"), std::string::npos) << away.error;
    EXPECT_EQ(away.error.find("Bad file descriptor"), std::string::npos) << away.error;
    ::unsetenv("CUPS_SERVER");
}

// A print server on another computer is named with its port; one that answers but refuses is
// not said to be away.
TEST(PrintQueues, APrintServerThatIsAwayIsNamedWhereItWasAsked) {
    const std::string remote = PrintServerProblem(0x0502, "192.168.1.30", 631);
    EXPECT_NE(remote.find("does not answer at 192.168.1.30:631"), std::string::npos) << remote;
    EXPECT_NE(remote.find("is that computer on"), std::string::npos) << remote;
    EXPECT_NE(PrintServerProblem(0x0502, "localhost", 631).find("systemctl start cups"),
              std::string::npos);
    EXPECT_EQ(PrintServerProblem(0x0401, "localhost", 631).find("does not answer"),
              std::string::npos);
}
