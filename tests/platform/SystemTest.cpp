#include "ComputerIdentity.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "Process.h"
#include "SingleInstance.h"
#include "TestSupport.h"
#include "Variant.h"
#include "clsSystem.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace zenta;
using zenta::test::ReadFile;
using zenta::test::TempDir;
using zenta::test::WriteFile;

TEST(Identity, IsIPAddressRules) {
    EXPECT_TRUE(IsIPAddress("192.168.1.10"));
    EXPECT_TRUE(IsIPAddress("127.0.0.1"));
    EXPECT_FALSE(IsIPAddress("0.1.2.3"));
    EXPECT_FALSE(IsIPAddress("256.1.1.1"));
    EXPECT_FALSE(IsIPAddress("1.2.3"));
    EXPECT_FALSE(IsIPAddress("1.2.3.4.5"));
    EXPECT_FALSE(IsIPAddress("a.b.c.d"));
    EXPECT_FALSE(IsIPAddress("1.2..4"));
}

TEST(Identity, NamesResolveToIPv4AndFailuresToAllOnes) {
    EXPECT_EQ(GetIPFromHostName("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(GetIPFromHostName("localhost"), "127.0.0.1");
    EXPECT_EQ(GetIPFromHostName("no-such-host.invalid"), "255.255.255.255");
    EXPECT_EQ(GetIPFromHostName(""), "255.255.255.255");
    const std::string name = GetLocalComputerName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(name.find('.'), std::string::npos);
    EXPECT_EQ(GetLocalIP(), GetIPFromHostName(name));
    const std::string app = GetAppPath();
    EXPECT_EQ(app.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(app + "platform_tests"));
    EXPECT_EQ(GetExecutableName(), "platform_tests");
}

TEST(OsInformation, VersionAndNameFromKernelAndOsRelease) {
    clsSystem s("6.1.0-18-amd64",
                "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
    EXPECT_EQ(s.OSVersion(), "6.1.0");
    EXPECT_EQ(s.OSName(), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_TRUE(s.IsMasVista());
    EXPECT_FALSE(s.IsPosready2009());
    clsSystem live;
    EXPECT_FALSE(live.OSVersion().empty());
    EXPECT_FALSE(live.OSName().empty());
}

TEST(Calendar, MonthArithmeticClampsTheDay) {
    DateTime d = *DateTime::Parse("2024-03-31");
    EXPECT_EQ(d.AddMonths(-1).DateText(), "2024-02-29");
    EXPECT_EQ(d.AddMonths(-13).DateText(), "2023-02-28");
    EXPECT_EQ(DateTime::Parse("2024-03-20")->AddDays(-7).DateText(), "2024-03-13");
    EXPECT_EQ(DateTime::Parse("2024-03-04")->WeekdayMondayZero(), 0);
    EXPECT_EQ(DateTime::Parse("2024-03-10")->WeekdayMondayZero(), 6);
    EXPECT_EQ(DateTime::Parse("2024-01-01")->AddMonths(-1).DateText(), "2023-12-01");
}

TEST(Numbers, NumberPrefixAndBooleanText) {
    EXPECT_EQ(Val("3307abc"), 3307);
    EXPECT_EQ(Val("  5.1.73"), 5.1);
    EXPECT_EQ(Val("x12"), 0);
    EXPECT_EQ(Val(""), 0);
    EXPECT_EQ(TextToBool("-1"), true);
    EXPECT_EQ(TextToBool("0"), false);
    EXPECT_EQ(TextToBool("TRUE"), true);
    EXPECT_EQ(TextToBool("false"), false);
    EXPECT_EQ(TextToBool("yes"), std::nullopt);
    EXPECT_EQ(DoubleToText(2.5), "2.5");
    EXPECT_EQ(DoubleToText(-3), "-3");
    EXPECT_EQ(DoubleToText(0.1), "0.1");
    EXPECT_EQ(FormatFixed2(12.5), "12.50");
}

TEST(Processes, StartedDetachedInTheGivenFolderAndNotWaitedFor) {
    TempDir dir;
    WriteFile(dir.path() + "helper.dll",
              "#!/bin/sh\npwd > started.txt\nsleep 1\necho done >> started.txt\n");
    std::filesystem::permissions(dir.path() + "helper.dll", std::filesystem::perms::owner_all);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(StartProgram("helper.dll", {}, dir.path()));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
    for (int i = 0; i < 100 && !std::filesystem::exists(dir.path() + "started.txt"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ReadFile(dir.path() + "started.txt").substr(0, dir.path().size() - 1),
              dir.path().substr(0, dir.path().size() - 1));
}

TEST(Processes, WaitReportsExitStatusAndCallsTheHook) {
    int calls = 0;
    SetWaitHook([&] { ++calls; });
    EXPECT_EQ(RunProgramAndWait("/bin/sh", {"-c", "sleep 0.2; exit 3"}), 3);
    EXPECT_GT(calls, 2);
    SetWaitHook(nullptr);
    EXPECT_EQ(ProgramStartError(), "");
}

// Programs started while a LowPriorityPrograms lives run at nice 10 in the lowest best-effort
// I/O level, started either way; the others as this program does.
TEST(Processes, LowPriorityProgramsRunNicedBothWaysAndOthersDoNot) {
    TempDir dir;
    const std::string out = dir.path() + "seen.txt";
    auto pipeline = [&] {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int pid = StartInPipeline({"/bin/sh", "-c", "nice; ionice -p $$"}, -1, fd,
                                        dir.path() + "errors.txt");
        ::close(fd);
        return WaitForExit(pid);
    };
    {
        const LowPriorityPrograms low(true);
        EXPECT_EQ(RunProgramAndWait("/bin/sh", {"-c", "nice; ionice -p $$"}, "", out), 0);
        EXPECT_EQ(pipeline(), 0);
    }
    EXPECT_EQ(ReadFile(out), "10\nbest-effort: prio 7\n10\nbest-effort: prio 7\n");
    std::filesystem::remove(out);
    EXPECT_EQ(pipeline(), 0);
    EXPECT_EQ(ReadFile(out).substr(0, 2), "0\n");
    const LowPriorityPrograms off(false);
    EXPECT_EQ(StartInPipeline({"/no/such/program"}, -1, -1, dir.path() + "errors.txt"), -1);
    EXPECT_EQ(ProgramStartError(), "cannot run /no/such/program: No such file or directory");
}

TEST(Processes, AProgramThatCannotStartIsAFailureWithItsReason) {
    // A missing program, and a working folder that does not exist: the program is not run,
    // and both ways of starting say so (not an exit status of 127, not "started").
    EXPECT_EQ(RunProgramAndWait("/no/such/program", {}), -1);
    EXPECT_EQ(ProgramStartError(), "cannot run /no/such/program: No such file or directory");
    TempDir dir;
    const std::string gone = dir.path() + "gone";
    EXPECT_EQ(RunProgramAndWait("/bin/sh", {"-c", "touch ran"}, gone), -1);
    EXPECT_EQ(ProgramStartError(),
              "cannot enter the folder " + gone + ": No such file or directory");
    EXPECT_FALSE(StartProgram("/bin/true", {}, gone));
    EXPECT_EQ(ProgramStartError(),
              "cannot enter the folder " + gone + ": No such file or directory");
    EXPECT_FALSE(StartProgram("missing-program.dll", {}, dir.path()));
    EXPECT_TRUE(StartProgram("/bin/true", {}, dir.path()));
    EXPECT_EQ(ProgramStartError(), "");
}

TEST(SingleInstance, OneMonitorPerProgramFolderWhateverTheEnvironment) {
    TempDir folder, other;
    SingleInstanceLock first(folder.path(), "ZentaMarketMonitor");
    ASSERT_TRUE(first.acquired());
    EXPECT_EQ(first.path(), folder.path() + "ZentaMarketMonitor.lock");
    // Another process, with another runtime folder, must not get it either.
    EXPECT_NE(
        zenta::test::Shell("XDG_RUNTIME_DIR=/nonexistent flock -n '" + first.path() + "' true"), 0);
    EXPECT_TRUE(MonitorRunningIn(folder.path(), "ZentaMarketMonitor"));
    {
        SingleInstanceLock elsewhere(other.path(), "ZentaMarketMonitor");
        EXPECT_TRUE(elsewhere.acquired());
    }
    EXPECT_FALSE(MonitorRunningIn(other.path(), "ZentaMarketMonitor"));
    struct stat st {};
    ASSERT_EQ(::stat(first.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0007, 0u);
    // A folder the user cannot write to: said, not taken for "another copy runs".
    SingleInstanceLock nowhere("/nonexistent/", "ZentaMarketMonitor");
    EXPECT_FALSE(nowhere.acquired());
    EXPECT_TRUE(nowhere.unavailable());
}

TEST(SingleInstance, AJobLockIsWaitedForAndGivenUpAfterItsLimit) {
    TempDir folder;
    const std::string path = JobLockPath(folder.path(), "ZentaMarketMonitor");
    FileLock holder(path);
    ASSERT_TRUE(holder.TryLock());
    FileLock waiter(path);
    int waited = 0, ticks = 0;
    EXPECT_FALSE(waiter.LockWithin(
        std::chrono::milliseconds(300), [&] { ++waited; }, [&] { return ++ticks > 0; }));
    EXPECT_EQ(waited, 1);
    EXPECT_GT(ticks, 2);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        holder.Unlock();
    });
    EXPECT_TRUE(waiter.LockWithin(std::chrono::seconds(5)));
    release.join();
}

TEST(ErrorModeDeathTest, FailureEndsTheProgramOnlyWhenNotInReleaseMode) {
    TempDir dir;
    Globals::AppPath = dir.path();
    std::filesystem::create_directory(dir.path() + "Log");
    Globals::ReleaseVersion = true;
    ReportFailure("Job", "first failure");
    EXPECT_NE(ReadFile(ProgramLogPath()).find("Job: first failure"), std::string::npos);
    Globals::ReleaseVersion = false;
    EXPECT_EXIT(ReportFailure("Job", "fatal"), testing::ExitedWithCode(3), "fatal");
    Globals::ReleaseVersion = true;
}
