#include "AutoRunProc.h"
#include "DbFixture.h"
#include "GlobalDatabase.h"
#include "Settings.h"

using namespace zenta;
using namespace zenta::test;

class Cycle : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        auto record = [this](const char* name) { return [this, name] { ran_.push_back(name); }; };
        SetMaintenanceJobs({record("clean"), record("stock"), record("backup"), record("tickets"),
                            record("rotate"), record("videos"), record("verify")});
    }
    void TearDown() override {
        SetMaintenanceJobs(DefaultMaintenanceJobs());
        DbTest::TearDown();
    }
    std::vector<std::string> ran_;
};

TEST_F(Cycle, JobsRunInOrderAndOnlyVideosWhenTheServerIsElsewhere) {
    ConnectDataBase();
    ASSERT_TRUE(ServerIsLocal);
    AutoRunProc();
    EXPECT_EQ(ran_, (std::vector<std::string>{"clean", "stock", "backup", "tickets", "rotate",
                                              "videos", "verify"}));
    ran_.clear();
    ServerIsLocal = false;
    AutoRunProc();
    EXPECT_EQ(ran_, (std::vector<std::string>{"videos"}));
}

TEST_F(Cycle, ALostConnectionIsTriedOnceAndNoJobRunsWithoutIt) {
    ReleaseDataBase();
    SetSetting("MySQL", "MySQLPort", "1");
    AutoRunProc();
    EXPECT_TRUE(ran_.empty());
    SetSetting("MySQL", "MySQLPort", std::to_string(DbPort()));
    AutoRunProc(); // the busy flag was cleared: the next cycle runs
    EXPECT_EQ(ran_.size(), 7u);
}

TEST_F(Cycle, ACycleCalledFromInsideACycleIsDropped) {
    ConnectDataBase();
    int nested = 0;
    SetMaintenanceJobs({[&] {
                            ++nested;
                            AutoRunProc();
                        },
                        [] {}, [] {}, [] {}, [] {}, [&] { ran_.push_back("videos"); }, [] {}});
    AutoRunProc();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(ran_, (std::vector<std::string>{"videos"}));
}
