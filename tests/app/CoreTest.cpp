#include "AutoRunProc.h"
#include "Globals.h"
#include "HelperPrograms.h"
#include "Recordings.h"
#include "TestSupport.h"
#include "UserInterface.h"
#include "Variant.h"
#include "clsXMLWMPList.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace zenta;
using namespace zenta::test;
namespace fs = std::filesystem;

TEST(Dispatcher, FirstCycleOnThe721stTickAndIPUpdateOnThe61st) {
    int cycles = 0, updates = 0;
    JobDispatcher d([&] { ++cycles; }, [&] { ++updates; });
    for (int i = 0; i < 100; ++i) {
        d.AutoRunTick(); // not enabled yet: nothing counts
        d.IPUpdateTick();
    }
    EXPECT_EQ(d.AutoRunCount(), 0);
    d.AutoRunEnabled(true);
    d.IPUpdateEnabled(true);
    for (int tick = 1; tick <= 721 * 2; ++tick) {
        d.AutoRunTick();
        d.IPUpdateTick();
        if (tick == 720) {
            EXPECT_EQ(cycles, 0);
        }
        if (tick == 721) {
            EXPECT_EQ(cycles, 1);
        }
        if (tick == 60) {
            EXPECT_EQ(updates, 0);
        }
        if (tick == 61) {
            EXPECT_EQ(updates, 1);
        }
    }
    EXPECT_EQ(cycles, 2);
    EXPECT_EQ(updates, 1442 / 61);
}

namespace {

// A helper program's probe port, answering with a fixed text (or never).
class FakeHelper {
  public:
    FakeHelper(int port, std::string reply, bool answer = true)
        : reply_(std::move(reply)), answer_(answer) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ =
            ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0;
        thread_ = std::thread([this] {
            while (!stop_) {
                int c = ::accept(fd_, nullptr, nullptr);
                if (c < 0)
                    break;
                char buf[64];
                ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n > 0)
                    received_ += std::string(buf, static_cast<size_t>(n)) + "|";
                if (answer_)
                    ::send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                ::close(c);
            }
        });
    }
    ~FakeHelper() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
    }
    bool bound() const { return bound_; }
    std::string received() const { return received_; }

  private:
    int fd_ = -1;
    bool bound_ = false;
    std::string reply_;
    bool answer_;
    std::atomic<bool> stop_{false};
    std::string received_;
    std::thread thread_;
};

} // namespace

TEST(HelperPrograms, ProbesReadTheNumberAtTheStartOfTheReply) {
    EXPECT_FALSE(IsDVRRunning()); // nothing listening
    {
        FakeHelper h(kRecorderPort, "201 recording");
        ASSERT_TRUE(h.bound());
        EXPECT_TRUE(IsDVRRunning());
        EXPECT_EQ(h.received(), "0|");
    }
    {
        FakeHelper h(kServerHelperPort, "201");
        ASSERT_TRUE(h.bound());
        EXPECT_TRUE(IsServerRunning());
        EXPECT_EQ(h.received(), "0, 0|");
    }
    {
        FakeHelper h(kRecorderPort, "200 idle");
        EXPECT_FALSE(IsDVRRunning());
    }
    {
        FakeHelper h(kRecorderPort, "", false);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(IsDVRRunning());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1400));
    }
}

TEST(HelperPrograms, AHelperThatDoesNotAnswerIsRecopiedAndStarted) {
    TempDir app("app");
    Globals::AppPath = app.path();
    WriteFile(app.path() + "ZentaDVR.bin", "#!/bin/sh\necho started > \"$PWD/dvr-started\"\n");
    fs::permissions(app.path() + "ZentaDVR.bin", fs::perms::owner_all);
    WriteFile(app.path() + "ZentaDVR.dll", "old version");
    {
        FakeHelper running(kRecorderPort, "201");
        StartDVRService();
        EXPECT_EQ(ReadFile(app.path() + "ZentaDVR.dll"), "old version");
    }
    StartDVRService();
    EXPECT_EQ(ReadFile(app.path() + "ZentaDVR.dll"), ReadFile(app.path() + "ZentaDVR.bin"));
    for (int i = 0; i < 100 && !fs::exists(app.path() + "dvr-started"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(fs::exists(app.path() + "dvr-started"));
    // Nothing shipped: nothing started, and no stale program left to start.
    EXPECT_FALSE(CopyAndStartHelper("GoodsPicSync"));
    WriteFile(app.path() + "GoodsPicSync.dll", "stale");
    EXPECT_FALSE(CopyAndStartHelper("GoodsPicSync"));
    EXPECT_FALSE(fs::exists(app.path() + "GoodsPicSync.dll"));
}

class RecordingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app_ = std::make_unique<TempDir>("app");
        root_ = std::make_unique<TempDir>("rec");
        Globals::AppPath = app_->path();
        WriteFile(app_->path() + "zentamarket.ini",
                  "[VideoGrabber]\r\nAutoEliminarVideos=1\r\nRecordPath=" +
                      root_->path().substr(0, root_->path().size() - 1) + "\r\n");
    }
    void TearDown() override { SetFreeSpaceSource(nullptr); }
    void Day(const std::string& name) {
        fs::create_directories(root_->path() + name);
        WriteFile(root_->path() + name + "/cam1.asf", "video");
    }
    std::vector<std::string> Left() {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(root_->path()))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::unique_ptr<TempDir> app_, root_;
};

TEST_F(RecordingsTest, OldestDaysGoOnlyWhileSpaceIsShort) {
    for (auto d : {"2024-03-01", "2024-03-02", "2024-03-03", "2024-03-04", "2024-03-05"})
        Day(d);
    // 2.5 GB free; each deleted day gives 1 GB back.
    SetFreeSpaceSource([this](const std::string&) {
        const double gb = 1024.0 * 1024 * 1024;
        return 2.5 * gb + (5 - static_cast<double>(Left().size())) * gb;
    });
    AutoEliminarVideosProc();
    EXPECT_EQ(Left(),
              (std::vector<std::string>{"2024-03-02", "2024-03-03", "2024-03-04", "2024-03-05"}));
}

TEST_F(RecordingsTest, TodayAndOtherNamesAreNeverTouched) {
    const std::string today = DateTime::Today().DateText();
    for (auto d : {"2024-03-01", "2012", "2x"})
        Day(d);
    Day(today);
    fs::create_directories(root_->path() + "backup");
    fs::create_directories(root_->path() + "2012.old");
    SetFreeSpaceSource([](const std::string&) { return 1.0; }); // never enough
    AutoEliminarVideosProc();
    EXPECT_EQ(Left(), (std::vector<std::string>{"2012.old", today, "backup"}));
}

TEST_F(RecordingsTest, SwitchedOffOrNoRootDeletesNothing) {
    Day("2024-03-01");
    SetFreeSpaceSource([](const std::string&) { return 0.0; });
    WriteFile(app_->path() + "zentamarket.ini",
              "[VideoGrabber]\r\nAutoEliminarVideos=0\r\nRecordPath=" + root_->path() + "\r\n");
    AutoEliminarVideosProc();
    WriteFile(app_->path() + "zentamarket.ini",
              "[VideoGrabber]\r\nAutoEliminarVideos=1\r\nRecordPath=\r\n");
    AutoEliminarVideosProc();
    EXPECT_EQ(Left(), (std::vector<std::string>{"2024-03-01"}));
}

namespace {
std::vector<std::string> opened;
bool RecordOpen(const std::string& target) {
    opened.push_back(target);
    return true;
}
struct RecordingSink : MessageSink {
    std::vector<std::string> texts;
    MsgResult Show(const std::string& text, MsgButtons, MsgIcon, MsgResult d) override {
        texts.push_back(text);
        return d;
    }
};
} // namespace

TEST_F(RecordingsTest, TodaysPlaylistListsTheFilesInOrder) {
    auto sink = std::make_shared<RecordingSink>();
    SetMessageSink(sink);
    SetDocumentOpener(RecordOpen);
    opened.clear();
    ShowTodayRecordings();
    EXPECT_EQ(sink->texts, (std::vector<std::string>{"本日无任何录像！"}));
    const std::string day = root_->path() + DateTime::Today().DateText() + "/";
    fs::create_directories(day);
    for (auto f : {"a.asf", "c.asf", "b.asf", "notes.txt"})
        WriteFile(day + f, "x");
    ShowTodayRecordings();
    const std::string playlist = app_->path() + "ZentaVideosToday.wpl";
    ASSERT_EQ(opened, (std::vector<std::string>{playlist}));
    const std::string xml = ReadFile(playlist);
    const size_t a = xml.find("a.asf"), b = xml.find("b.asf"), c = xml.find("c.asf");
    EXPECT_TRUE(a < b && b < c) << xml;
    EXPECT_EQ(xml.find("notes.txt"), std::string::npos);
    clsXMLWMPList doc;
    doc.LoadConfigurationFile(playlist);
    EXPECT_EQ(doc.EnumSectionItems("seq"),
              (std::vector<std::string>{day + "a.asf", day + "b.asf", day + "c.asf"}));
    EXPECT_NE(xml.find("<smil>"), std::string::npos);
    EXPECT_NE(xml.find("<section name=\"seq\">"), std::string::npos);
    EXPECT_NE(xml.find("<media src=\"" + day + "a.asf\" value=\"\" />"), std::string::npos);
    SetMessageSink(nullptr);
    SetDocumentOpener(nullptr);
}

TEST(PlaylistDocument, SectionsAndItemsAreFoundAndUpdatedInPlace) {
    TempDir dir;
    const std::string file = dir.path() + "list.wpl";
    clsXMLWMPList doc;
    doc.LoadConfigurationFile(file);
    EXPECT_TRUE(fs::exists(file)); // created at once
    doc.WriteValue("seq", "x", "1");
    doc.WriteValue("seq", "x", "2");
    doc.WriteValue("other", "y", "3");
    EXPECT_EQ(doc.ReadValue("seq", "x"), "2");
    EXPECT_EQ(doc.ReadValue("none", "x"), "");
    EXPECT_TRUE(doc.SaveConfigurationFile());
    clsXMLWMPList again;
    again.LoadConfigurationFile(file);
    EXPECT_EQ(again.EnumSectionItems("seq"), (std::vector<std::string>{"x"}));
    EXPECT_EQ(again.ReadValue("other", "y"), "3");
}
