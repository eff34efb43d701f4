// Ending the program on a real X server with a real notification area (trayer), in every
// state a user or a service manager can catch it in, and what a desktop user is told when it
// cannot start.
#include "DbFixture.h"
#include "ProgramProcess.h"

#include <filesystem>
#include <sstream>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Ending : public DbTest {
  protected:
    void SetUp() override {
        if (!Have("Xvfb") || !Have("xdotool") || !Have("trayer"))
            GTEST_SKIP() << "Xvfb, xdotool and trayer are needed (packages xvfb, xdotool, trayer)";
        DbTest::SetUp();
        db_ = true;
        xvfb_ = StartXServer(display_);
        ASSERT_GT(xvfb_, 0) << "Xvfb did not come up";
        ::setenv("DISPLAY", display_.c_str(), 1);
        ASSERT_TRUE(
            WaitFor([] { return Shell("xdotool getdisplaygeometry >/dev/null 2>&1") == 0; }, 20s));
        // A notification area at the top left: the icon sits at about (16, 16).
        // trayer now and then does not come up on a fresh server: it is started once more.
        auto panel = [] { return Shell("xdotool search --class trayer >/dev/null 2>&1") == 0; };
        for (int attempt = 0; attempt < 2 && !panel(); ++attempt) {
            StopSpawned(trayer_);
            trayer_ = Spawn({"trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel",
                             "--width", "120", "--heighttype", "pixel", "--height", "32"},
                            AppPath() + "trayer.txt");
            WaitFor(panel, 15s);
        }
        ASSERT_TRUE(panel()) << ReadFile(AppPath() + "trayer.txt") << "X server " << display_
                             << (::waitpid(xvfb_, nullptr, WNOHANG) == 0 ? " running" : " gone")
                             << ", answers: "
                             << (Shell("xdotool getdisplaygeometry >/dev/null 2>&1") == 0);
        fs::copy_file(BinaryDir() + "/bin/ZentaMarketMonitor", AppPath() + "ZentaMarketMonitor");
    }
    void TearDown() override {
        StopSpawned(trayer_);
        StopSpawned(xvfb_);
        ::unsetenv("DISPLAY");
        if (db_)
            DbTest::TearDown();
    }
    void Server(int port) {
        WriteFile(AppPath() + "zentamarket.ini",
                  "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" + std::to_string(port) + "\r\n");
    }
    // Starts the program in the tray and waits until its icon is in the notification area.
    std::unique_ptr<Program> Start() {
        auto program = std::make_unique<Program>(AppPath(), std::vector<std::string>{}, true);
        EXPECT_TRUE(WaitFor(
            [&] {
                return Shell("xdotool search --class ZentaMarketMonitor >/dev/null 2>&1") == 0 &&
                       ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find("started") !=
                           std::string::npos;
            },
            10s));
        std::this_thread::sleep_for(1500ms);
        return program;
    }
    // Whether a window titled `title` is on the screen.
    static bool Showing(const std::string& title) {
        return Shell("xdotool search --onlyvisible --name '" + title + "' >/dev/null 2>&1") == 0;
    }
    // The user presses Enter on the message box titled `title` (again each second, as a user
    // does when a box shown a moment ago has not taken the key yet) until the program that
    // shows it ends: its exit status, -1 when it did not end in `limit` (it is then ended).
    // The key goes to the focus, not to the window: a key sent to the window that closes on
    // its press has no window for its release, and a key left down in the X server repeats
    // into the next box that comes up.
    static int AnswerWithEnter(int pid, const std::string& title, std::chrono::seconds limit) {
        int status = -1;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            Shell("xdotool search --onlyvisible --name '" + title +
                  "' windowfocus --sync >/dev/null 2>&1; xdotool key Return >/dev/null 2>&1");
            if (WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 1s))
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        StopSpawned(pid);
        return -1;
    }
    // The geometry "x y" of the visible window titled like the program, or "".
    // Whether the program's menu is on the screen: a window of the program above the others
    // (override-redirect), of a menu's height, that is not a tooltip (the icon's own window and
    // its balloon are windows of the program too).
    bool MenuOpen() {
        TempDir out;
        const std::string list = out.path() + "windows";
        Shell("xdotool search --onlyvisible --class ZentaMarketMonitor > '" + list +
              "' 2>/dev/null");
        std::istringstream windows(ReadFile(list));
        for (std::string id; windows >> id;) {
            const std::string about = out.path() + id;
            Shell("(xprop -id " + id + " _NET_WM_WINDOW_TYPE; xwininfo -id " + id + ") > '" +
                  about + "' 2>/dev/null");
            const std::string text = ReadFile(about);
            const size_t height = text.find("Height: ");
            if (text.find("Override Redirect State: yes") != std::string::npos &&
                text.find("_NET_WM_WINDOW_TYPE_TOOLTIP") == std::string::npos &&
                height != std::string::npos && std::atoi(text.c_str() + height + 8) >= 100)
                return true;
        }
        return false;
    }
    std::string VisibleWindow() {
        TempDir out;
        Shell("xdotool search --onlyvisible --name '监控程序' getwindowgeometry --shell %@ > '" +
              out.path() + "g' 2>/dev/null");
        const std::string g = ReadFile(out.path() + "g");
        const size_t x = g.find("X="), y = g.find("Y=");
        if (x == std::string::npos || y == std::string::npos)
            return "";
        return g.substr(x + 2, g.find('\n', x) - x - 2) + " " +
               g.substr(y + 2, g.find('\n', y) - y - 2);
    }
    void ShowPanel() {
        Shell("xdotool mousemove 16 16 click --repeat 2 --delay 80 1");
        ASSERT_TRUE(WaitFor([&] { return !VisibleWindow().empty(); }, 5s)) << "no panel";
    }
    // Ends within five seconds with status 0.
    void ExpectEndsCleanly(Program& program) {
        const auto from = std::chrono::steady_clock::now();
        EXPECT_EQ(program.WaitExit(9s), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - from, 5s);
        EXPECT_NE(ReadFile(AppPath() + "Log/ZentaMarketMonitor.log").find(" ended"),
                  std::string::npos);
    }

    std::string display_;
    pid_t xvfb_ = -1, trayer_ = -1;
    bool db_ = false;
};

TEST_F(Ending, SigtermWithThePanelShownEndsTheProgram) {
    Server(DbPort());
    auto program = Start();
    ShowPanel();
    program->Signal(SIGTERM);
    ExpectEndsCleanly(*program);
}

TEST_F(Ending, DoubleClickOnThePanelsIconEndsTheProgram) {
    Server(DbPort());
    auto program = Start();
    ShowPanel();
    std::istringstream at(VisibleWindow());
    int x = 0, y = 0;
    at >> x >> y;
    // The icon is the panel's top-left picture.
    Shell("xdotool mousemove " + std::to_string(x + 35) + " " + std::to_string(y + 35) +
          " click --repeat 2 --delay 80 1");
    ExpectEndsCleanly(*program);
}

TEST_F(Ending, SigtermWithAMessageBoxOpenEndsAndAgreesToNothing) {
    Server(DbPort());
    auto program = Start();
    // The menu's first line asks whether to clear the print queues.
    Shell("xdotool mousemove 16 16 click 3");
    std::this_thread::sleep_for(700ms);
    Shell("xdotool key Down Return");
    ASSERT_TRUE(WaitFor([&] { return !VisibleWindow().empty(); }, 5s)) << "no message box";
    program->Signal(SIGTERM);
    ExpectEndsCleanly(*program);
}

TEST_F(Ending, SigtermWithTheMenuOpenEndsTheProgram) {
    Server(DbPort());
    auto program = Start();
    ASSERT_FALSE(MenuOpen());
    Shell("xdotool mousemove 16 16 click 3");
    ASSERT_TRUE(WaitFor([&] { return MenuOpen(); }, 5s)) << "no menu";
    program->Signal(SIGTERM);
    ExpectEndsCleanly(*program);
}

TEST_F(Ending, WhileTheDatabaseIsAwayTheTrayAnswersAndTheSessionsEndEndsTheProgram) {
    Server(1);
    auto program = Start();
    ShowPanel(); // the connect loop keeps the tray answering
    program->Signal(SIGHUP);
    ExpectEndsCleanly(*program);
}

// A desktop user whose program folder cannot be used is told, once a session, in a message
// box that names the folder, what is wrong and the fix; the program still ends with status 2
// and says the same on its error output.
TEST_F(Ending, AProgramFolderOnAReadOnlyDiskIsToldToTheDesktopUserOnceASession) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a read-only mount needs root";
    const std::string folder = AppPath() + "shop/";
    fs::create_directories(folder + "Log");
    fs::copy_file(AppPath() + "ZentaMarketMonitor", folder + "ZentaMarketMonitor");
    WriteFile(folder + "ZentaMarketMonitor.lock", "");
    ASSERT_EQ(Shell("mount --bind '" + folder + "' '" + folder + "' && mount -o remount,ro,bind '" +
                    folder + "' '" + folder + "'"),
              0);
    struct Unmount {
        std::string folder;
        ~Unmount() { Shell("umount '" + folder + "'"); }
    } unmount{folder};
    TempDir session("session");
    ::setenv("XDG_RUNTIME_DIR", session.path().c_str(), 1);
    const std::string title = "ZentaMarket monitor cannot start";
    auto shown = [&] { return Showing(title); };
    auto wait = [](int pid, std::chrono::milliseconds limit) {
        int status = -1;
        WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string err = AppPath() + "first.txt";
    const int first = Spawn({folder + "ZentaMarketMonitor"}, err);
    EXPECT_TRUE(WaitFor(shown, 60s)) << ReadFile(err);
    // The user reads it and presses Enter.
    EXPECT_EQ(AnswerWithEnter(first, title, 30s), 2);
    const std::string said = ReadFile(err);
    EXPECT_NE(said.find("the program folder " + folder + " is on a disk mounted read-only"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("Fix: mount it read-write again"), std::string::npos) << said;

    // The next start in the same session says it on its error output only.
    const int second = Spawn({folder + "ZentaMarketMonitor"}, AppPath() + "second.txt");
    EXPECT_EQ(wait(second, 10s), 2);
    EXPECT_FALSE(shown());
    ::unsetenv("XDG_RUNTIME_DIR");
}

// A desktop user who is not in the program folder's group is told the group and the command
// that puts them in it; one put in it after the session began, to log in again.
TEST_F(Ending, ADesktopUserOutsideTheFoldersGroupIsToldHowToJoinIt) {
    if (::geteuid() != 0 || !Have("setpriv"))
        GTEST_SKIP() << "running as another user needs root and setpriv";
    // As the package lays it out: the folder readable by all, its lock file by its group only.
    const std::string folder = AppPath() + "shop/";
    fs::create_directories(folder + "Log");
    fs::copy_file(AppPath() + "ZentaMarketMonitor", folder + "ZentaMarketMonitor");
    WriteFile(folder + "ZentaMarketMonitor.lock", "");
    ::chmod((folder + "ZentaMarketMonitor.lock").c_str(), 0660);
    ::chmod(folder.c_str(), 02775);
    ::chmod((folder + "Log").c_str(), 02770);
    ::chmod(AppPath().c_str(), 0755);
    const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                               "--clear-groups"};
    auto command = asNobody;
    command.insert(command.end(), {"test", "-x", folder + "ZentaMarketMonitor"});
    std::string line;
    for (const auto& a : command)
        line += "'" + a + "' ";
    if (Shell(line) != 0)
        GTEST_SKIP() << "the user nobody cannot reach " << folder;
    const std::string title = "ZentaMarket monitor cannot start";
    // Starts the monitor as nobody in a new desktop session; whether the message box came, the
    // exit status once Enter is pressed on it, and what it said on its error output.
    auto start = [&](const std::string& err, bool& shown) {
        TempDir session("session");
        ::chmod(session.path().c_str(), 0777);
        ::setenv("XDG_RUNTIME_DIR", session.path().c_str(), 1);
        auto run = asNobody;
        run.push_back(folder + "ZentaMarketMonitor");
        const int pid = Spawn(run, err);
        shown = WaitFor([&] { return Showing(title); }, 60s);
        const int status = AnswerWithEnter(pid, title, 30s);
        ::unsetenv("XDG_RUNTIME_DIR");
        return status;
    };
    bool shown = false;
    const std::string err = AppPath() + "nobody.txt";
    EXPECT_EQ(start(err, shown), 2);
    EXPECT_TRUE(shown) << ReadFile(err);
    std::string said = ReadFile(err);
    EXPECT_NE(said.find("nobody is not in the group root that the program folder " + folder +
                        " belongs to"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("Fix: sudo usermod -aG root nobody , then log out and log in again."),
              std::string::npos)
        << said;

    // Put in the folder's group after the session began (the session's groups lack it): told
    // to log in again, not to join a group it is already in.
    if (!Have("groupadd") || !Have("gpasswd") || !Have("groupdel"))
        return;
    const std::string group = "zentalate" + std::to_string(::getpid());
    ASSERT_EQ(Shell("groupadd " + group + " && gpasswd -a nobody " + group + " >/dev/null"), 0);
    struct Remove {
        std::string group;
        ~Remove() { Shell("groupdel " + group); }
    } remove{group};
    ASSERT_EQ(Shell("chgrp " + group + " '" + folder + "' '" + folder +
                    "ZentaMarketMonitor.lock' '" + folder + "Log'"),
              0);
    const std::string late = AppPath() + "late.txt";
    EXPECT_EQ(start(late, shown), 2);
    EXPECT_TRUE(shown) << ReadFile(late);
    said = ReadFile(late);
    EXPECT_NE(said.find("nobody was added to the group " + group +
                        " after this session began, so the program folder " + folder +
                        " cannot be used yet"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("Fix: log out and log in again."), std::string::npos) << said;
    EXPECT_EQ(said.find("usermod"), std::string::npos) << said;
}
