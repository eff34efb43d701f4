#include "Tills.h"

#include "GlobalDatabase.h"
#include "TestSupport.h"
#include "clsDataBase.h"

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sched.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace zenta::test {

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One sale's statements; false as soon as one fails.
bool SellOne(clsDataBase& db, long n, int till) {
    const std::string no = std::to_string(n), caja = "'caja" + std::to_string(till) + "'";
    db.StartTrans();
    bool ok = db.ConnectionStatus();
    auto run = [&](const std::string& sql) {
        if (ok) {
            db.SQLExecute(sql);
            ok = db.ConnectionStatus();
        }
    };
    run("INSERT INTO ticket (TicketNo, Fecha, Cajero, Total) VALUES (" + no + ", NOW(), " + caja +
        ", 12.30);");
    for (int line = 1; line <= Tills::kLines; ++line)
        run("INSERT INTO ticketarticulo (TicketNo, ArticuloID, NombreCN, Cantidad, Precio) "
            "VALUES (" +
            no + ", 'A" + std::to_string((n * 7 + line) % 500) + "', '商品', 1, 4.10);");
    if (ok) {
        db.CommitTrans();
        ok = db.ConnectionStatus();
    }
    return ok;
}

std::unique_ptr<clsDataBase> Connected(const TillTarget& target) {
    auto db = std::make_unique<clsDataBase>();
    if (target.suiteAccount)
        db->Connect(target.host, target.port, "zentasupermarket", clsDataBase::kDefaultUser,
                    clsDataBase::kDefaultPassword);
    else
        db->Connect(target.host, target.port, "zentasupermarket", kBackOfficeUser,
                    kBackOfficePassword);
    return db;
}

std::unique_ptr<clsDataBase> Connected(int port) {
    TillTarget target;
    target.port = port;
    return Connected(target);
}

} // namespace

Tills::Tills(int port, int tills, long firstNumber)
    : Tills(TillTarget{"127.0.0.1", port, false}, tills, firstNumber) {}

Tills::Tills(const TillTarget& target, int tills, long firstNumber)
    : target_(target), next_(firstNumber) {
    for (int t = 1; t <= tills; ++t)
        threads_.emplace_back([this, t] { Sell(t); });
}

void Tills::Redirect(const std::string& host, int port) {
    std::lock_guard<std::mutex> guard(lock_);
    target_.host = host;
    target_.port = port;
}

TillTarget Tills::Target() const {
    std::lock_guard<std::mutex> guard(lock_);
    return target_;
}

Tills::~Tills() {
    Stop();
}

void Tills::Stop() {
    stop_ = true;
    for (auto& t : threads_)
        if (t.joinable())
            t.join();
}

void Tills::Sell(int till) {
    // A till on another "computer": this thread's sockets are made in its network namespace.
    if (const std::string netns = Target().netns; !netns.empty()) {
        const int fd = ::open(netns.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
            ADD_FAILURE() << "a till cannot enter " << netns;
            if (fd >= 0)
                ::close(fd);
            return;
        }
        ::close(fd);
    }
    std::unique_ptr<clsDataBase> db;
    while (!stop_) {
        if (!db || !db->ConnectionStatus()) {
            db = Connected(Target());
            if (!db->ConnectionStatus()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
        }
        Sale sale;
        sale.number = next_++;
        sale.begun = Now();
        if (SellOne(*db, sale.number, till)) {
            sale.acknowledged = Now();
            ++acknowledged_;
        } else {
            db.reset(); // the server went away, or the sale failed: connect again
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            sales_.push_back(sale);
        }
        if (const int pause = Target().pauseMs; pause > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
}

bool Tills::WaitForSales(long count, int seconds) {
    const long until = acknowledged_ + count;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (acknowledged_ < until) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<Sale> Tills::Sales() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sales_;
}

bool SellAt(int port, long firstNumber, const std::vector<std::time_t>& instants) {
    auto db = Connected(port);
    long n = firstNumber;
    for (const std::time_t at : instants) {
        db->SQLExecute("SET timestamp = " + std::to_string(static_cast<long long>(at)) + ";");
        if (!db->ConnectionStatus() || !SellOne(*db, n++, 9))
            return false;
    }
    return true;
}

Restored ReadRestored(const std::string& socket, const std::string& database) {
    Restored r;
    TempDir dir("restored");
    const std::string client = "mariadb --no-defaults -uroot -N --socket='" + socket + "' ";
    Shell(client + "-e \"SELECT t.TicketNo, COUNT(a.ID) FROM " + database + ".ticket t LEFT JOIN " +
          database + ".ticketarticulo a ON a.TicketNo = t.TicketNo GROUP BY t.TicketNo;\" > '" +
          dir.path() + "tickets.txt'");
    std::istringstream in(ReadFile(dir.path() + "tickets.txt"));
    for (long ticket = 0, lines = 0; in >> ticket >> lines;)
        r.lines[ticket] = static_cast<int>(lines);
    Shell(client + "-e \"SELECT COUNT(*) FROM " + database + ".ticketarticulo a LEFT JOIN " +
          database + ".ticket t ON a.TicketNo = t.TicketNo WHERE t.TicketNo IS NULL;\" > '" +
          dir.path() + "orphans.txt'");
    r.orphanLines = std::atol(ReadFile(dir.path() + "orphans.txt").c_str());
    return r;
}

std::string JudgeRestore(const std::vector<Sale>& sales, const Restored& restored,
                         std::optional<std::time_t> until, double certainBefore) {
    std::string wrong;
    long said = 0;
    auto say = [&](const std::string& what) {
        if (++said <= 8)
            wrong += what + "\n";
    };
    std::set<long> afterUntil;
    for (const auto& s : sales) {
        const auto there = restored.lines.find(s.number);
        const bool present = there != restored.lines.end();
        const bool mustBeThere = s.acknowledged > 0 && (until ? std::floor(s.acknowledged) <= *until
                                                              : s.acknowledged < certainBefore);
        if (mustBeThere && !present)
            say("sale " + std::to_string(s.number) + " (acknowledged) is missing");
        if (until && std::floor(s.begun) > *until && present)
            say("sale " + std::to_string(s.number) + " (begun after the time) is there");
    }
    for (const auto& [ticket, lines] : restored.lines)
        if (lines != Tills::kLines)
            say("ticket " + std::to_string(ticket) + " has " + std::to_string(lines) +
                " lines of " + std::to_string(Tills::kLines));
    if (restored.orphanLines > 0)
        say(std::to_string(restored.orphanLines) + " lines without their ticket");
    if (said > 8)
        wrong += "... " + std::to_string(said - 8) + " more\n";
    return wrong;
}

} // namespace zenta::test
