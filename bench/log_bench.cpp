// The cost of one entry in an INI-format log (the failure log) as the log grows.
//   log_bench SIZE_MB FOLDER
// Prints key=value pairs: the first entry after start (it finds the log's last section), the
// median of later entries, the same through a whole-file rewrite for comparison, and the
// bytes each read.
#include "ErrorMode.h"
#include "IniFile.h"
#include "Settings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <vector>

using namespace zenta;

namespace {

long long BytesRead() {
    std::ifstream in("/proc/self/io");
    std::string key;
    long long value = 0;
    while (in >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

long PeakKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

double Seconds(const std::function<void()>& f) {
    const auto t = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SIZE_MB FOLDER\n", argv[0]);
        return 2;
    }
    const long long bytes = std::atoll(argv[1]) << 20;
    const std::string path = std::string(argv[2]) + "/bench-NoRunSQL.log";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "[3.12]\r\n";
        const std::string line =
            "=INSERT INTO ticketarticulo (TicketNo, ArticuloID, Cantidad) VALUES (1, 'A', 1);\r\n";
        for (long long i = 0, written = 8; written < bytes; ++i) {
            const std::string key = "2020-01-01 " + std::to_string(1000000000 + i);
            out << key << line;
            written += static_cast<long long>(key.size() + line.size());
        }
    }
    SetLogSizeLimit(1LL << 40); // the append itself, not the cap, is measured here
    const long rssBefore = PeakKb();
    long long read0 = BytesRead();
    const double first = Seconds([&] { WriteIniLogEntry(path, "3.12", "SELECT 1; -- first"); });
    const long long firstRead = BytesRead() - read0;
    std::vector<double> later;
    read0 = BytesRead();
    for (int i = 0; i < 20; ++i)
        later.push_back(Seconds([&] { WriteIniLogEntry(path, "3.12", "SELECT 2; -- later"); }));
    const long long laterRead = (BytesRead() - read0) / 20;
    const long rssAppend = PeakKb() - rssBefore;
    std::vector<double> rewrite;
    for (int i = 0; i < 3; ++i)
        rewrite.push_back(Seconds(
            [&] { IniFile::Write(path, "3.12", "rewrite " + std::to_string(i), "SELECT 3;"); }));
    const long rssRewrite = PeakKb() - rssBefore;
    std::printf("size_mb=%s first_ms=%.3f first_read_kb=%lld entry_ms=%.3f entry_read_kb=%lld "
                "append_peak_growth_kb=%ld rewrite_ms=%.1f rewrite_peak_growth_kb=%ld\n",
                argv[1], first * 1000, firstRead >> 10, Median(later) * 1000, laterRead >> 10,
                rssAppend, Median(rewrite) * 1000, rssRewrite);
    std::remove(path.c_str());
    return 0;
}
