// The copy of the binary log and the restore to a second, against the private bench server:
//   binlog_bench tills PORT FOLDER SALES TILLS [ACKED]
//       TILLS connections sell SALES sales in all (0: until killed), each sale one transaction
//       (a ticket, three lines, a payment, three stock changes); prints the sales per second
//       and the 50th and 99th percentile of a sale's time in ms. With ACKED, the number of
//       every sale the server acknowledged is written there as soon as it is.
//   binlog_bench stream PORT FOLDER
//       runs the monitor's copy of the server's binary log into FOLDER/Backup/Binlog/ until
//       ended with SIGTERM.
//   binlog_bench backup PORT FOLDER
//       one full backup into FOLDER/Backup/.
//   binlog_bench until PORT FOLDER DATABASE
//       restores the newest archive into DATABASE and replays the copied log to the latest
//       transaction; prints the seconds it took and the transactions replayed.
#include "BackupAll.h"
#include "BinlogCopy.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "PointInTime.h"
#include "clsDataBase.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace zenta;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<bool> ending{false};

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
                if (!ok)
                    break; // the server is gone
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

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: binlog_bench tills|stream|backup|until PORT FOLDER ...\n");
        return 2;
    }
    const std::string job = argv[1];
    const int port = std::atoi(argv[2]);
    Globals::AppPath = std::string(argv[3]) + "/";
    std::filesystem::create_directories(Globals::AppPath + "Log");
    std::filesystem::create_directories(Globals::AppPath + "Backup");
    std::ofstream(Globals::AppPath + "zentamarket.ini")
        << "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" << port << "\r\n";
    if (job == "tills" && argc > 5)
        return Tills(port, std::atol(argv[4]), std::atoi(argv[5]), argc > 6 ? argv[6] : nullptr);
    ConnectDataBase();
    if (!DataBase().ConnectionStatus()) {
        std::fprintf(stderr, "cannot connect: %s\n", DataBase().LastError().Text().c_str());
        return 1;
    }
    if (job == "stream") {
        std::signal(SIGTERM, [](int) { ending = true; });
        BinlogCopier copier;
        while (!ending) {
            copier.Tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return 0;
    }
    if (job == "backup") {
        std::string folder = Globals::AppPath + "Backup", label;
        BackupReport report;
        BackupAll(folder, label, &report);
        if (!report.Good()) {
            std::fprintf(stderr, "backup failed: %s\n", report.failure.c_str());
            return 1;
        }
        return 0;
    }
    if (job == "until" && argc > 4) {
        RestoreOptions options;
        options.database = argv[4];
        options.progress = [](const std::string& line) {
            std::fprintf(stderr, "%s\n", line.c_str());
        };
        const auto t0 = Clock::now();
        const UntilReport r = RestoreUntil("", "latest", options);
        if (!r.restore.ok) {
            std::fprintf(stderr, "restore failed: %s\n", r.restore.error.c_str());
            return 1;
        }
        std::printf("seconds=%.3f transactions=%lld\n",
                    std::chrono::duration<double>(Clock::now() - t0).count(), r.transactions);
        return 0;
    }
    return 2;
}
