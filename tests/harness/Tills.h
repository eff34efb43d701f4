#pragma once

#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zenta::test {

// One sale a till tried: a ticket and its lines in one transaction, acknowledged when its
// COMMIT came back good. Times are this computer's clock in seconds, with fractions.
struct Sale {
    long number = 0;
    double begun = 0;        // before its first statement
    double acknowledged = 0; // when the commit came back good; 0 when it never did
};

// Tills selling against a server as a shop's do, each on a connection of its own: they go on
// through a server that is restarted, killed or replaced (connecting again), and remember every
// sale tried, to judge a restore sale by sale. `at`, when given, sells "at" that second and on
// (the session's timestamp), one second a sale.
// Where tills sell: a server, and the account (the program's back-office account by default;
// the suite's own, which a read-only server refuses, for a pair of servers).
struct TillTarget {
    std::string host = "127.0.0.1";
    int port = 0;
    bool suiteAccount = false;
    // A pause after each sale: a shop's pace, not a load test's (0: none).
    int pauseMs = 0;
    // The network namespace the tills' computer is (its /run/netns path; "": this process's).
    std::string netns = "";
};

class Tills {
  public:
    static constexpr int kLines = 3;
    Tills(int port, int tills, long firstNumber = 1);
    Tills(const TillTarget& target, int tills, long firstNumber = 1);
    // From the next connection on, the tills sell on another server (the tills' address moved).
    void Redirect(const std::string& host, int port);
    ~Tills();
    Tills(const Tills&) = delete;
    Tills& operator=(const Tills&) = delete;
    void Stop();
    // Waits until `count` more sales are acknowledged (false after `seconds`).
    bool WaitForSales(long count, int seconds = 60);
    long acknowledged() const { return acknowledged_; }
    std::vector<Sale> Sales() const;

  private:
    void Sell(int till);
    TillTarget Target() const;
    TillTarget target_;
    std::atomic<bool> stop_{false};
    std::atomic<long> next_;
    std::atomic<long> acknowledged_{0};
    mutable std::mutex lock_;
    std::vector<Sale> sales_;
    std::vector<std::thread> threads_;
};

// Sells one sale per given instant, in order, on one connection with the session's timestamp
// set to it (a sale "at" a daylight-saving change without touching the clock). False when one
// was not acknowledged.
bool SellAt(int port, long firstNumber, const std::vector<std::time_t>& instants);

// What a restored database holds of the sales: each ticket and its lines.
struct Restored {
    std::map<long, int> lines; // ticket -> its lines
    long orphanLines = 0;      // lines without their ticket
};
// Read with the mariadb client as root over `socket`.
Restored ReadRestored(const std::string& socket, const std::string& database);

// Judges a restore sale by sale:
// - with `until` (a second): every sale acknowledged at or before it is there with all its
//   lines; none begun after it is there;
// - without it (the latest): every sale acknowledged before `certainBefore` is there.
// Always: every ticket there has all its lines and no line is without its ticket.
// "" when the restore passes, else what is wrong (the first few sales named).
std::string JudgeRestore(const std::vector<Sale>& sales, const Restored& restored,
                         std::optional<std::time_t> until, double certainBefore = 0);

} // namespace zenta::test
