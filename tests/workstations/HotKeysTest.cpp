// The global hot keys for real, on an Xvfb display of the test's own, and the power-off through
// a stand-in logind on a private bus.
#include "ApagarOrdenador.h"
#include "Globals.h"
#include "SetRunHotKey.h"
#include "TestSupport.h"

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

namespace {

size_t Lines(const std::string& file) {
    const std::string text = ReadFile(file);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class HotKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Have("Xvfb") || !Have("xdotool"))
            GTEST_SKIP() << "Xvfb and xdotool are needed for the hot keys (packages xvfb, xdotool)";
        xvfb_ = StartXServer(display_);
        ASSERT_GT(xvfb_, 0) << "Xvfb did not come up";
        ::setenv("DISPLAY", display_.c_str(), 1);
        app_ = std::make_unique<TempDir>("app");
        Globals::AppPath = app_->path();
        WriteFile(app_->path() + "ZentaMarket.exe", "#!/bin/sh\necho started >> \"$PWD/marker\"\n");
        fs::permissions(app_->path() + "ZentaMarket.exe", fs::perms::owner_all);
        ASSERT_TRUE(SetHotKeys());
    }
    void TearDown() override {
        UnsetHotKeys();
        SetHotKeyActions(nullptr, nullptr);
        StopSpawned(xvfb_);
        ::unsetenv("DISPLAY");
    }
    // Presses keys and lets the program handle what arrives.
    void Press(const std::string& keys) {
        Shell("DISPLAY=" + display_ + " xdotool key " + keys);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
        while (std::chrono::steady_clock::now() < until) {
            DispatchHotKeys();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    size_t Started() {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return Lines(app_->path() + "marker");
    }
    std::string display_;
    pid_t xvfb_ = -1;
    std::unique_ptr<TempDir> app_;
};

} // namespace

TEST_F(HotKeys, CtrlShiftMStartsTheCashierProgramAndNothingElseDoes) {
    Press("ctrl+shift+m");
    EXPECT_EQ(Started(), 1u);
    Press("ctrl+m");
    Press("shift+m");
    Press("m");
    EXPECT_EQ(Started(), 1u);
    // With NumLock and CapsLock on the keys still work.
    Press("Num_Lock");
    Press("ctrl+shift+m");
    Press("Caps_Lock");
    Press("ctrl+shift+m");
    Press("Num_Lock");
    Press("Caps_Lock");
    EXPECT_EQ(Started(), 3u);
}

TEST_F(HotKeys, ASecondInstallLeavesOneRegistrationAndRemovalEndsIt) {
    ASSERT_TRUE(SetHotKeys());
    Press("ctrl+shift+m");
    EXPECT_EQ(Started(), 1u);
    UnsetHotKeys();
    UnsetHotKeys(); // harmless
    Press("ctrl+shift+m");
    EXPECT_EQ(Started(), 1u);
}

TEST_F(HotKeys, CtrlShiftF12AsksLogindToPowerOff) {
    if (!Have("dbus-daemon") || Shell("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0)
        GTEST_SKIP() << "dbus-daemon and python3-dbusmock are needed for the stand-in logind";
    TempDir bus("bus");
    // A private bus stands in for the system bus; the real logind is never reached.
    ASSERT_EQ(Shell("dbus-daemon --session --fork --print-address=1 --print-pid=3 > '" +
                    bus.path() + "address' 3> '" + bus.path() + "pid'"),
              0);
    std::string address = ReadFile(bus.path() + "address");
    address = address.substr(0, address.find('\n'));
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    pid_t logind = Spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind",
                          "-l", bus.path() + "calls"});
    for (int i = 0;
         i < 100 &&
         Shell("dbus-send --system --print-reply --dest=org.freedesktop.login1 "
               "/org/freedesktop/login1 org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1") != 0;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Press("ctrl+shift+F11");
    Press("ctrl+F12");
    EXPECT_EQ(ReadFile(bus.path() + "calls").find("PowerOff"), std::string::npos);
    Press("ctrl+shift+F12");
    EXPECT_NE(ReadFile(bus.path() + "calls").find("PowerOff True"), std::string::npos);
    EXPECT_EQ(Started(), 0u);
    StopSpawned(logind);
    Shell("kill $(cat '" + bus.path() + "pid')");
    // Without logind the failure is reported, not thrown.
    EXPECT_FALSE(PowerOffComputer());
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
