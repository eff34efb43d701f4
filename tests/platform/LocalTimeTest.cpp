// Times a technician types and the program shows, under a zone with daylight saving: the hour
// the clocks go back over names two instants, the one they jump over none, and the calendar
// is never stretched to fit.
#include "LocalTime.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

using namespace zenta;

namespace {

// Runs the test under a zone of its own; the one before is back afterwards.
class InZone {
  public:
    explicit InZone(const char* zone) {
        if (const char* before = std::getenv("TZ"))
            before_ = before, had_ = true;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~InZone() {
        if (had_)
            ::setenv("TZ", before_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

  private:
    std::string before_;
    bool had_ = false;
};

// 2027-10-31 00:30 UTC is 02:30 CEST, 01:30 UTC is 02:30 CET.
constexpr std::time_t kFirst230 = 1824942600;
constexpr std::time_t kSecond230 = kFirst230 + 3600;

} // namespace

TEST(LocalTime, TheHourTheClocksGoBackOverNamesTwoInstantsAndEachIsAskedFor) {
    InZone madrid("Europe/Madrid");
    const auto both = LocalInstants(2027, 10, 31, 2, 30, 0);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0], kFirst230);
    EXPECT_EQ(both[1], kSecond230);
    // Asked for without an offset, it is refused with both offered, each with its offset.
    // (Converting other times first must not change the answer: glibc's mktime would.)
    EXPECT_TRUE(ParseInstant("2027-10-31 03:30:00"));
    const auto ambiguous = ParseInstant("2027-10-31 02:30:00");
    ASSERT_FALSE(ambiguous);
    EXPECT_NE(ambiguous.error().find("happens twice"), std::string::npos) << ambiguous.error();
    EXPECT_NE(ambiguous.error().find("\"2027-10-31 02:30:00 +02:00\" or \"2027-10-31 02:30:00 "
                                     "+01:00\""),
              std::string::npos)
        << ambiguous.error();
    // Each of them as offered, and in UTC.
    EXPECT_EQ(*ParseInstant("2027-10-31 02:30:00 +02:00"), kFirst230);
    EXPECT_EQ(*ParseInstant("2027-10-31 02:30:00 +01:00"), kSecond230);
    EXPECT_EQ(*ParseInstant("2027-10-31 02:30:00+0100"), kSecond230);
    EXPECT_EQ(*ParseInstant("2027-10-31 00:30:00Z"), kFirst230);
    EXPECT_EQ(*ParseInstant("2027-10-31 00:30:00 UTC"), kFirst230);
    // Shown as the instants they are.
    EXPECT_EQ(InstantText(kFirst230), "2027-10-31 02:30:00 +02:00");
    EXPECT_EQ(InstantText(kSecond230), "2027-10-31 02:30:00 +01:00");
    EXPECT_EQ(LocalStampText(kSecond230), "2027-10-31 02:30:00");
    // A stamp of the logs in that hour counts as the earlier one.
    EXPECT_EQ(StampSeconds("2027-10-31 02:30:00"), kFirst230);
}

TEST(LocalTime, TheHourTheClocksJumpOverAndDaysNotInTheCalendarAreRefused) {
    InZone madrid("Europe/Madrid");
    EXPECT_TRUE(LocalInstants(2027, 3, 28, 2, 30, 0).empty());
    const auto skipped = ParseInstant("2027-03-28 02:30:00");
    ASSERT_FALSE(skipped);
    EXPECT_NE(skipped.error().find("does not exist on this computer's clock"), std::string::npos)
        << skipped.error();
    EXPECT_EQ(*ParseInstant("2027-03-28 03:00:00"), *ParseInstant("2027-03-28 01:00:00 Z"));
    for (const char* bad : {"2026-02-31 10:00:00", "2027-02-29 12:00:00", "2026-04-31 00:00:00",
                            "2026-12-07 24:00:00", "2026-12-07 10:60:00", "2026-13-01 00:00:00"}) {
        const auto r = ParseInstant(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_NE(r.error().find("is not in the calendar"), std::string::npos) << r.error();
    }
    EXPECT_TRUE(ParseInstant("2028-02-29 12:00:00")); // a leap year's
    for (const char* bad :
         {"yesterday", "2026-12-07", "2026-12-07 10:00", "2026-12-07T10:00:00",
          "2026-12-07 10:00:00 +25:00", "2026-12-07 10:00:00 CET", "2026-12-07 10:00:00 extra"})
        EXPECT_FALSE(ParseInstant(bad)) << bad;
}

TEST(LocalTime, AZoneWithoutChangesHasOneInstantForEachTime) {
    InZone shanghai("Asia/Shanghai");
    const auto one = LocalInstants(2027, 10, 31, 2, 30, 0);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], kFirst230 - 6 * 3600);
    EXPECT_EQ(InstantText(one[0]), "2027-10-31 02:30:00 +08:00");
    EXPECT_EQ(*ParseInstant("  2027-10-31 02:30:00 "), one[0]);
}
