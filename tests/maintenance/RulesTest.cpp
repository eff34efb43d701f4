#include "AutoBackupData.h"
#include "AutoTicket.h"

#include <gtest/gtest.h>

using namespace zenta;

namespace {
DateTime D(const char* text) {
    return *DateTime::Parse(text);
}
} // namespace

TEST(TicketPurgeRules, CutOffDaysOfTheRetentionCodes) {
    EXPECT_EQ(TicketCutOffDay(0, D("2024-03-20"))->DateText(), "2024-03-19");
    EXPECT_EQ(TicketCutOffDay(1, D("2024-03-20"))->DateText(), "2024-03-13");
    EXPECT_EQ(TicketCutOffDay(2, D("2024-03-31"))->DateText(), "2024-02-29");
    EXPECT_EQ(TicketCutOffDay(3, D("2024-04-30"))->DateText(), "2024-02-29");
    EXPECT_EQ(TicketCutOffDay(4, D("2024-01-15"))->DateText(), "2023-10-15");
    EXPECT_EQ(TicketCutOffDay(5, D("2024-06-30"))->DateText(), "2024-02-29");
    EXPECT_EQ(TicketCutOffDay(6, D("2024-08-31"))->DateText(), "2024-02-29");
    EXPECT_EQ(TicketCutOffDay(0, D("2024-01-01"))->DateText(), "2023-12-31");
    EXPECT_FALSE(TicketCutOffDay(7, D("2024-03-20")));
    EXPECT_FALSE(TicketCutOffDay(-1, D("2024-03-20")));
}

TEST(TicketPurgeRules, TicketNumberBoundIsTheDayFollowedByNines) {
    EXPECT_EQ(TicketNumberBound(D("2024-03-13")), 2403139999LL);
    EXPECT_EQ(TicketNumberBound(D("2024-03-14")), 2403149999LL);
    EXPECT_EQ(TicketNumberBound(D("2008-03-14")), 803149999LL);
    EXPECT_EQ(TicketNumberBound(D("2099-12-31")), 9912319999LL); // beyond 32 bits
}

TEST(BackupRules, DailyWeeklyAndOff) {
    const DateTime monday11 = D("2024-03-11"), monday18 = D("2024-03-18"),
                   tuesday19 = D("2024-03-19");
    EXPECT_FALSE(IsBackupDue(0, 5, 1, 0, monday11));
    EXPECT_TRUE(IsBackupDue(1, 0, 1, 0, monday11));
    EXPECT_TRUE(IsBackupDue(3, 1, 1, 0, tuesday19)); // unknown codes behave as daily
    // Every two weeks on Monday, the last one on Monday 4 March 2024.
    EXPECT_FALSE(IsBackupDue(2, 7, 2, 0, monday11));
    EXPECT_TRUE(IsBackupDue(2, 14, 2, 0, monday18));
    EXPECT_FALSE(IsBackupDue(2, 15, 2, 0, tuesday19));
    // No backup ever made: the weekly rule alone never starts one.
    EXPECT_FALSE(IsBackupDue(2, 0, 1, 0, monday11));
    EXPECT_FALSE(IsBackupDue(2, 30000, 5000, 0, monday11)); // 7 × weeks overflows: no backup
}
