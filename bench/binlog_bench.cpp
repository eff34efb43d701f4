// The copy of the binary log measured from outside, while the real monitor keeps it:
//   binlog_bench tills PORT FOLDER SALES TILLS [ACKED]
//       TILLS connections sell SALES sales in all (0: until killed), each sale one transaction
//       (a ticket, three lines, a payment, three stock changes; selling until killed, a till
//       connects again after the server went away); prints the sales per second
//       and the 50th and 99th percentile of a sale's time in ms. With ACKED, the number of
//       every sale the server acknowledged is written there as soon as it is.
//   binlog_bench lag PORT FOLDER SECONDS
//       samples the server's own position and the copy (FOLDER's BinlogFolder) every 10 ms for
//       SECONDS: for each sample, how long until the copy held it; prints the median, the 99th
//       percentile and the worst, in seconds.
//   binlog_bench follow PORT FOLDER LIMIT
//       from the moment the server answers: seconds until the monitor's record says the copy
//       streams and the copy holds the server's position of that moment (-1 after LIMIT s).
#include "BackupAll.h"
#include "BinaryLog.h"
#include "BinlogChain.h"
#include "BinlogCopyRecord.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "JobOutcomes.h"
#include "LocalTime.h"
#include "PointInTime.h"
#include "clsDataBase.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace zenta;
using Clock = std::chrono::steady_clock;

namespace {

int Tills(int port, long sales, int tills, const char* acked) {
    std::FILE* ack = acked ? std::fopen(acked, "w") : nullptr;
    std::mutex lock;
    std::vector<double> times;
    std::atomic<long> next{1};
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < tills; ++t)
        threads.emplace_back([&, t] {
            clsDataBase db;
            db.Connect("127.0.0.1", port, "zentasupermarket", kBackOfficeUser, kBackOfficePassword);
            std::vector<double> mine;
            for (;;) {
                const long n = next++;
                if (sales > 0 && n > sales)
                    break;
                const std::string no = std::to_string(n), till = std::to_string(t + 1);
                const auto start = Clock::now();
                db.StartTrans();
                bool ok = db.ConnectionStatus();
                auto run = [&](const std::string& sql) {
                    if (ok) {
                        db.SQLExecute(sql);
                        ok = db.ConnectionStatus();
                    }
                };
                run("INSERT INTO ticket (TicketNo, Fecha, Cajero, Total) VALUES (" + no +
                    ", NOW(), 'caja" + till + "', 12.35);");
                for (int line = 1; line <= 3; ++line) {
                    const std::string article = "'A" + std::to_string((n * 7 + line) % 5000) + "'";
                    run("INSERT INTO ticketarticulo (TicketNo, ArticuloID, NombreCN, Cantidad, "
                        "Precio) VALUES (" +
                        no + ", " + article + ", '商品', 1, 4.10);");
                    run("INSERT INTO stockcambio (AlmacenID, ArticuloID, Cantidad, Fecha, "
                        "OrdenadorNombre) VALUES (1, " +
                        article + ", -1, NOW(), 'caja" + till + "');");
                }
                run("INSERT INTO ticketcobro (TicketNo, FormaPago, Importe, Fecha) VALUES (" + no +
                    ", 'EFECTIVO', 12.35, NOW());");
                if (ok) {
                    db.CommitTrans();
                    ok = db.ConnectionStatus();
                }
                if (!ok && sales > 0)
                    break; // the server is gone
                if (!ok) {
                    // Selling until killed: a till connects again, as a shop's does after a
                    // server restart.
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    db.Connect("127.0.0.1", port, "zentasupermarket", kBackOfficeUser,
                               kBackOfficePassword);
                    continue;
                }
                mine.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                if (ack) {
                    std::lock_guard<std::mutex> guard(lock);
                    std::fprintf(ack, "%ld\n", n);
                    std::fflush(ack);
                }
            }
            std::lock_guard<std::mutex> guard(lock);
            times.insert(times.end(), mine.begin(), mine.end());
        });
    for (auto& thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (ack)
        std::fclose(ack);
    if (times.empty())
        return 1;
    std::sort(times.begin(), times.end());
    auto at = [&](double share) {
        return times[std::min(times.size() - 1, static_cast<size_t>(share * times.size()))];
    };
    std::printf("sales=%zu sales_per_second=%.0f p50_ms=%.2f p99_ms=%.2f\n", times.size(),
                times.size() / seconds, at(0.50), at(0.99));
    return 0;
}

// The bytes the copy holds of a file of the chain being written; -1 when none.
long long Copied(const std::string& file) {
    const auto chain = BinlogChain::Current(BinlogFolder(Globals::AppPath + "Backup/"));
    if (chain)
        for (const auto& f : chain->Files())
            if (f.name == file)
                return f.size;
    return -1;
}

// Where the copy ends: its newest file's number and size.
std::pair<long, long long> CopyEnd() {
    const auto chain = BinlogChain::Current(BinlogFolder(Globals::AppPath + "Backup/"));
    const auto files = chain ? chain->Files() : std::vector<ChainFile>{};
    return files.empty() ? std::make_pair(-1L, 0LL)
                         : std::make_pair(files.back().number, files.back().size);
}

std::optional<ServerLogPosition> Position(clsDataBase& db) {
    const auto p = ServerCurrentPosition(db);
    if (!p)
        return std::nullopt;
    return *p;
}

int Lag(int port, int seconds) {
    clsDataBase db;
    db.Connect("127.0.0.1", port, "mysql", kBackOfficeUser, kBackOfficePassword);
    struct Asked {
        Clock::time_point at;
        long file;
        long long position;
    };
    std::vector<Asked> pending;
    std::vector<double> lags;
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        const auto p = Position(db);
        if (p)
            pending.push_back({Clock::now(), LogFileNumber(p->file), p->position});
        // Each sample is answered once the copy holds it: its file that far, or a later file.
        const auto end = CopyEnd();
        size_t done = 0;
        for (; done < pending.size(); ++done) {
            const Asked& a = pending[done];
            if (end.first < a.file || (end.first == a.file && end.second < a.position))
                break;
            lags.push_back(std::chrono::duration<double>(Clock::now() - a.at).count());
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(done));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (lags.empty())
        return 1;
    std::sort(lags.begin(), lags.end());
    std::printf("samples=%zu median_s=%.3f p99_s=%.3f worst_s=%.3f unanswered=%zu\n", lags.size(),
                lags[lags.size() / 2], lags[std::min(lags.size() - 1, lags.size() * 99 / 100)],
                lags.back(), pending.size());
    return 0;
}

int Follow(int port, int limit) {
    const auto until = Clock::now() + std::chrono::seconds(limit);
    std::optional<ServerLogPosition> asked;
    Clock::time_point from;
    std::time_t fromWall = 0;
    while (Clock::now() < until) {
        if (!asked) {
            clsDataBase db;
            db.Connect("127.0.0.1", port, "mysql", kBackOfficeUser, kBackOfficePassword);
            if (db.ConnectionStatus() && (asked = Position(db))) {
                from = Clock::now();
                fromWall = std::time(nullptr);
            }
        } else {
            const BinlogCopyOutcome c = BinlogCopyOutcome::Read();
            if (c.Streaming(std::time(nullptr)) && StampSeconds(c.checked) >= fromWall &&
                Copied(asked->file) >= asked->position) {
                std::printf("seconds=%.2f\n",
                            std::chrono::duration<double>(Clock::now() - from).count());
                return 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("seconds=-1\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: binlog_bench tills|lag|follow PORT FOLDER ...\n");
        return 2;
    }
    const std::string job = argv[1];
    const int port = std::atoi(argv[2]);
    // The program folder of the monitor being measured: read, never written.
    Globals::AppPath = std::string(argv[3]) + "/";
    if (job == "tills" && argc > 5) {
        std::filesystem::create_directories(Globals::AppPath + "Log");
        return Tills(port, std::atol(argv[4]), std::atoi(argv[5]), argc > 6 ? argv[6] : nullptr);
    }
    if (job == "lag" && argc > 4)
        return Lag(port, std::atoi(argv[4]));
    if (job == "follow" && argc > 4)
        return Follow(port, std::atoi(argv[4]));
    return 2;
}
