// Times one maintenance job against the private bench server, as the program runs it:
//   maintenance_bench backup|renewal|purge|figures PORT PROGRAM_FOLDER
//   maintenance_bench restore PORT PROGRAM_FOLDER ARCHIVE
// prints "seconds=<s>" (and "bytes=<archive size>" for the backup). "figures" times what the
// backup adds for verification: a row count and CHECKSUM TABLE of every table.
#include "AutoBackupData.h"
#include "AutoTicket.h"
#include "BackupAll.h"
#include "GlobalDatabase.h"
#include "Globals.h"
#include "RenovarDatos.h"
#include "Restore.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using namespace zenta;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: maintenance_bench backup|renewal|purge|figures PORT FOLDER "
                             "| restore PORT FOLDER ARCHIVE\n");
        return 2;
    }
    const std::string job = argv[1];
    Globals::AppPath = std::string(argv[3]) + "/";
    std::filesystem::create_directories(Globals::AppPath + "Log");
    std::filesystem::create_directories(Globals::AppPath + "Backup");
    std::ofstream(Globals::AppPath + "zentamarket.ini")
        << "[MySQL]\r\nMySQLHost=127.0.0.1\r\nMySQLPort=" << argv[2] << "\r\n";
    ConnectDataBase();
    if (!DataBase().ConnectionStatus()) {
        std::fprintf(stderr, "cannot connect: %s\n", DataBase().LastError().Text().c_str());
        return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::string archive;
    if (job == "backup") {
        std::string folder = Globals::AppPath + "Backup", label;
        archive = BackupAll(folder, label);
        if (archive.empty())
            return 1;
    } else if (job == "renewal") {
        RenovarStock();
    } else if (job == "purge") {
        AutoDeleteTickets();
    } else if (job == "figures") {
        DataBase().CreatDatasArray("SHOW tables;");
        const auto tables = DataBase().DatasArray();
        for (long r = 0; r < tables->Count(1); ++r) {
            const std::string t = tables->Value(r, 0).ToString();
            DataBase().CreatDatasArray("SELECT COUNT(*) FROM " + t + ";");
            DataBase().CreatDatasArray("CHECKSUM TABLE " + t + ";");
        }
    } else if (job == "restore" && argc > 4) {
        DataBase().SQLExecute("DROP DATABASE IF EXISTS bench_restore;");
        RestoreOptions options;
        options.database = "bench_restore";
        const RestoreReport report = RestoreArchive(argv[4], options);
        if (!report.ok) {
            std::fprintf(stderr, "restore failed: %s\n", report.error.c_str());
            return 1;
        }
    } else {
        return 2;
    }
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    std::printf("seconds=%.3f", dt.count());
    if (!archive.empty())
        std::printf(" bytes=%ju", static_cast<std::uintmax_t>(std::filesystem::file_size(
                                      Globals::AppPath + "Backup/" + archive)));
    std::printf("\n");
    return 0;
}
