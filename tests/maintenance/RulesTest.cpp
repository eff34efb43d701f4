#include "AutoBackupData.h"
#include "AutoTicket.h"
#include "ShrinkGuard.h"

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

TEST(ShrinkRules, WhatASteadyShopNeverTriggersAndWhatALosingOneAlwaysDoes) {
    ShrinkBaseline base;
    base.archive = "ZentaMarket20261201020000.ZTB";
    base.rows = {{"articulo", 5000},   {"cliente", 300},
                 {"proveedor", 12},    {"stock", 5000},
                 {"opcion", 60},       {"articulodibujo", -1},
                 {"ticket", 40000},    {"ticketarticulo", 200000},
                 {"stockcambio", 900}, {"ordenadorejecutando", 4},
                 {"extra_a", 3000},    {"extra_b", 1000}};
    TableRows now = base.rows;
    EXPECT_TRUE(ShrinkReasons(&base, now, false).empty());

    // The shop's own work: a purge of nine tenths of the sales, the stock movements folded in,
    // no computer running, a small table halved, a few articles deleted, pictures now counted.
    now["ticket"] = 4000;
    now["ticketarticulo"] = 20000;
    now["stockcambio"] = 0;
    now["ordenadorejecutando"] = 0;
    now["proveedor"] = 5;
    now["articulo"] = 2600;
    now["articulodibujo"] = 900;
    EXPECT_TRUE(ShrinkReasons(&base, now, false).empty());
    // Every sale purged (a shop closed for a month): no alarm when the purge ran since.
    now["ticket"] = 0;
    EXPECT_TRUE(ShrinkReasons(&base, now, true).empty());
    EXPECT_EQ(ShrinkReasons(&base, now, false),
              (std::vector<std::string>{"ticket was emptied (40000 rows before, none now, and "
                                        "no ticket purge ran since)"}));

    // Master data halved or emptied, a table gone, the other tables far smaller.
    now = base.rows;
    now["articulo"] = 2499;
    now["cliente"] = 0;
    now.erase("opcion");
    now["extra_a"] = 500;
    now["extra_b"] = 400;
    EXPECT_EQ(ShrinkReasons(&base, now, true),
              (std::vector<std::string>{
                  "articulo fell by more than half (5000 rows before, 2499 rows now)",
                  "cliente was emptied (300 rows before, none now)",
                  "the table opcion is missing (60 rows in ZentaMarket20261201020000.ZTB)",
                  "the database's other tables hold far fewer rows (4000 rows before, 900 rows "
                  "now)"}));
    // Small master tables may halve, and a handful of rows may go (a test article, the one
    // option a technician removed); five or more never all at once.
    base.rows = {{"proveedor", 12}, {"opcion", 4}};
    EXPECT_TRUE(ShrinkReasons(&base, {{"proveedor", 5}, {"opcion", 0}}, false).empty());
    base.rows = {{"proveedor", 5}};
    EXPECT_EQ(ShrinkReasons(&base, {{"proveedor", 0}}, false).size(), 1u);
}

TEST(ShrinkRules, WithoutABaselineTheSuitesTablesMustBeThere) {
    TableRows now;
    EXPECT_EQ(ShrinkReasons(nullptr, now, false),
              std::vector<std::string>{"the database holds none of the suite's tables"});
    for (const auto& t : SuiteTableNames())
        now[t] = 0; // a new shop: empty, but whole
    EXPECT_TRUE(ShrinkReasons(nullptr, now, false).empty());
    now.erase("ticketcobro");
    EXPECT_EQ(ShrinkReasons(nullptr, now, false),
              std::vector<std::string>{"the suite's table ticketcobro is missing"});
}

TEST(ShrinkRules, FiguresAreReadFromTheArchivesFileAndTheRecord) {
    EXPECT_EQ(ParseTableRows("[Checks]\r\nFormat=1\r\n\r\n[Tables]\r\narticulo=12,3456\r\n"
                             "Cliente=3,-1\r\nbroken=x\r\n"),
              (TableRows{{"articulo", 12}, {"cliente", 3}}));
    EXPECT_EQ(ParseTableRows("articulo=12;ticket=-1;stock=0"),
              (TableRows{{"articulo", 12}, {"stock", 0}, {"ticket", -1}}));
}
