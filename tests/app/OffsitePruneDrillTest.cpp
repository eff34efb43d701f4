// The repository's pruning at head office, from outside: the real program's `offsite prune`
// against a real S3 server (moto, with IAM keys and Object Lock) holding a year of a branch's
// archives and log by simulated dates. What is kept and what goes is exactly the rule, by time;
// a locked version is left and said; a shop's key is refused by the storage and said.
#include "OffsiteShop.h"

#include <ctime>

using namespace zenta;
using namespace zenta::test;
using namespace std::chrono_literals;

namespace {

std::string Stamp(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return text;
}

std::string Week(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%G-W%V", &tm);
    return text;
}

std::string Month(std::time_t t) {
    return Stamp(t).substr(0, 6);
}

} // namespace

class OffsitePrune : public OffsiteShop {
  protected:
    // A simulated year: one archive a day at 02:00, one chain a month, one log file a day with
    // two segments; the archive of each day lies at the start of that day's file.
    struct Archive {
        std::string name;
        std::time_t taken;
        std::string chain;
        long file;
    };
    std::vector<Archive> WriteYear(S3Client& client, const std::string& prefix, int days) {
        std::vector<Archive> archives;
        std::tm tm{};
        const std::time_t now = std::time(nullptr);
        localtime_r(&now, &tm);
        tm.tm_hour = 2;
        tm.tm_min = tm.tm_sec = 0;
        const std::time_t today = std::mktime(&tm);
        for (int d = days - 1; d >= 0; --d) {
            std::tm day = tm;
            day.tm_mday -= d;
            day.tm_isdst = -1;
            const std::time_t t = std::mktime(&day);
            if (t > now)
                continue;
            std::tm first = day;
            first.tm_mday = 1;
            std::mktime(&first);
            const std::string chain = "chain-" + Stamp(std::mktime(&first)).substr(0, 8) + "000000";
            Archive a{"ZentaMarket" + Stamp(t) + ".ZTB", t, chain, days - d};
            archives.push_back(a);
            char file[32];
            std::snprintf(file, sizeof file, "binlog.%06ld", a.file);
            const std::string body = "archive of " + a.name;
            EXPECT_TRUE(client.PutNew(repository::ArchiveKey(prefix, a.name), body).Ok());
            repository::Manifest m;
            m.archive = a.name;
            m.size = static_cast<long long>(body.size());
            m.sha256 = Sha256Hex(body);
            m.snapshot.archive = a.name;
            m.snapshot.file = file;
            m.snapshot.position = 4;
            m.snapshot.chain = chain;
            m.snapshot.taken = t;
            EXPECT_TRUE(
                client.PutNew(repository::ManifestKey(prefix, a.name), repository::ManifestText(m))
                    .Ok());
            for (const auto& [from, to] : {std::pair{0LL, 400LL}, std::pair{400LL, 900LL}})
                EXPECT_TRUE(client
                                .PutNew(repository::SegmentKey(prefix, chain, file, from, to, true),
                                        std::string(static_cast<size_t>(to - from), 'b'))
                                .Ok());
        }
        (void)today;
        return archives;
    }
    void UseBucket(const std::string& bucket, const std::string& user) {
        Key(user);
        Configure("", bucket);
    }
    std::set<std::string> Names(S3Client& client, const std::string& prefix) {
        std::set<std::string> names;
        const auto listed = client.List(prefix + "/");
        EXPECT_TRUE(listed) << listed.error();
        if (listed)
            for (const auto& o : *listed)
                names.insert(o.key);
        return names;
    }
};

// A year of a branch in a bucket without a lock: the dry run lists what would go and removes
// nothing; the pruning then keeps exactly the last 30 days, the newest of each of the last 8
// weeks and of the last 12 months, and the log from the oldest kept archive on; nothing else.
TEST_F(OffsitePrune, AYearPrunedByTimeKeepsExactlyTheRule) {
    S3Client head(Storage("headoffice"));
    {
        S3Config c = Storage("headoffice");
        c.bucket = "plain";
        S3Client plain(c);
        const auto year = WriteYear(plain, "branch-9", 365);
        UseBucket("plain", "headoffice");
        const auto before = Names(plain, "branch-9");
        const auto dry = Run({"offsite", "prune", "--branch", "branch-9", "--dry-run"});
        ASSERT_EQ(dry.status, 0) << dry.out << dry.err;
        EXPECT_TRUE(Has(dry.out, "would remove")) << dry.out;
        EXPECT_EQ(Names(plain, "branch-9"), before) << "the dry run removed something";

        const auto r = Run({"offsite", "prune", "--branch", "branch-9"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // The rule, from the dates alone.
        const std::time_t now = std::time(nullptr);
        std::set<std::string> weeks, months, weekSeen, monthSeen, kept;
        for (int i = 0; i < 8; ++i)
            weeks.insert(Week(now - i * 7 * 86400));
        {
            std::tm tm{};
            localtime_r(&now, &tm);
            for (int i = 0; i < 12; ++i) {
                char m[32];
                std::snprintf(m, sizeof m, "%04d%02d", tm.tm_year + 1900, tm.tm_mon + 1);
                months.insert(m);
                if (--tm.tm_mon < 0) {
                    tm.tm_mon = 11;
                    --tm.tm_year;
                }
            }
        }
        // The log a kept window needs: its chain from its snapshot's file on (a window ends
        // with its chain), and every later chain.
        std::map<std::string, long> needFrom;
        std::string oldestChain;
        for (auto it = year.rbegin(); it != year.rend(); ++it) {
            // The first met of a week or month, newest first, is its newest.
            const bool newestOfWeek =
                weeks.count(Week(it->taken)) && weekSeen.insert(Week(it->taken)).second;
            const bool newestOfMonth =
                months.count(Month(it->taken)) && monthSeen.insert(Month(it->taken)).second;
            const bool keep = it == year.rbegin() || it->taken >= now - 30 * 86400 ||
                              newestOfWeek || newestOfMonth;
            if (!keep)
                continue;
            kept.insert(it->name);
            needFrom[it->chain] =
                needFrom.count(it->chain) ? std::min(needFrom[it->chain], it->file) : it->file;
            if (oldestChain.empty() || it->chain < oldestChain)
                oldestChain = it->chain;
        }
        EXPECT_GT(kept.size(), 35u);
        EXPECT_LT(kept.size(), 60u);
        std::set<std::string> expected;
        for (const auto& a : year) {
            if (kept.count(a.name)) {
                expected.insert(repository::ArchiveKey("branch-9", a.name));
                expected.insert(repository::ManifestKey("branch-9", a.name));
            }
            const bool needed =
                needFrom.count(a.chain) ? a.file >= needFrom[a.chain] : a.chain > oldestChain;
            if (needed) {
                char file[32];
                std::snprintf(file, sizeof file, "binlog.%06ld", a.file);
                expected.insert(repository::SegmentKey("branch-9", a.chain, file, 0, 400, true));
                expected.insert(repository::SegmentKey("branch-9", a.chain, file, 400, 900, true));
            }
        }
        const auto after = Names(plain, "branch-9");
        std::string wrong;
        for (const auto& n : expected)
            if (!after.count(n))
                wrong += "removed but kept by the rule: " + n + "\n";
        for (const auto& n : after)
            if (!expected.count(n))
                wrong += "left but not kept by the rule: " + n + "\n";
        EXPECT_EQ(wrong, "") << r.out;

        // A shop's key may not prune: refused by the storage, said, nothing removed.
        UseBucket("plain", "shop");
        const auto refused = Run({"offsite", "prune", "--branch", "branch-9", "--days", "1",
                                  "--weekly", "0", "--monthly", "0"});
        EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
        EXPECT_TRUE(Has(refused.out, "refuses this key's removals")) << refused.out;
        EXPECT_EQ(Names(plain, "branch-9"), after);
    }
    // In the locked bucket every version is under its retention: left and said, not an error.
    WriteYear(head, "branch-10", 60);
    UseBucket("shops", "headoffice");
    const auto before = Names(head, "branch-10");
    const auto locked = Run({"offsite", "prune"});
    EXPECT_EQ(locked.status, 0) << locked.out << locked.err;
    EXPECT_TRUE(Has(locked.out, "branch-10: keeps")) << locked.out;
    EXPECT_TRUE(Has(locked.out, "left under the storage's lock")) << locked.out;
    EXPECT_EQ(Names(head, "branch-10"), before);
}
