// Reads the whole table bench_rows (100,000 rows × 10 mixed columns) either into the result
// array (mode "array") or through a plain ODBC fetch loop (mode "plain"), five times, and
// prints "rows_per_second=<median> peak_rss_kb=<kb>".
#include "GlobalDatabase.h"
#include "Odbc.h"
#include "clsDataBase.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

using namespace zenta;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: result_array_bench array|plain PORT\n");
        return 2;
    }
    const std::string mode = argv[1];
    const long port = std::atol(argv[2]);
    const std::string query = "SELECT * FROM bench_rows;";
    clsDataBase db;
    db.Connect("127.0.0.1", port, "zentasupermarket", kBackOfficeUser, kBackOfficePassword);
    if (!db.ConnectionStatus()) {
        std::fprintf(stderr, "cannot connect: %s\n", db.LastError().Text().c_str());
        return 1;
    }
    std::vector<double> rates;
    long rows = 0;
    for (int round = 0; round < 5; ++round) {
        auto t0 = std::chrono::steady_clock::now();
        if (mode == "array") {
            db.CreatDatasArray(query);
            rows = db.DatasArray()->Count(1);
        } else {
            OdbcConnection c;
            OdbcError e;
            // Same driver and options as the array's connection.
            if (!c.Open(db.ConnectionString(), e))
                return 1;
            SQLHSTMT st;
            SQLAllocHandle(SQL_HANDLE_STMT, c.handle(), &st);
            SQLExecDirect(st, (SQLCHAR*)query.c_str(), SQL_NTS);
            SQLSMALLINT cols = 0;
            SQLNumResultCols(st, &cols);
            char buf[8192];
            SQLLEN ind;
            rows = 0;
            size_t bytes = 0;
            while (SQLFetch(st) == SQL_SUCCESS) {
                for (SQLUSMALLINT i = 1; i <= cols; ++i) {
                    SQLGetData(st, i, SQL_C_CHAR, buf, sizeof buf, &ind);
                    if (ind > 0)
                        bytes += static_cast<size_t>(ind);
                }
                ++rows;
            }
            SQLFreeHandle(SQL_HANDLE_STMT, st);
            if (bytes == 0)
                return 1;
        }
        std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        rates.push_back(static_cast<double>(rows) / dt.count());
    }
    std::sort(rates.begin(), rates.end());
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("rows=%ld rows_per_second=%.0f peak_rss_kb=%ld\n", rows, rates[rates.size() / 2],
                ru.ru_maxrss);
    return 0;
}
