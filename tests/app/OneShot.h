#pragma once

// The installed program in a program folder of its own, run once per command as a technician
// runs it over SSH: no display, against the private server.
#include "DbFixture.h"
#include "ProgramProcess.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace zenta::test {

// What a shell command prints on its standard output (its errors go where the test's go).
inline std::string CommandOutput(const std::string& command) {
    std::string text;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
            text.append(buffer, n);
        ::pclose(p);
    }
    return text;
}

class OneShotTest : public DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        namespace fs = std::filesystem;
        fs::copy_file(BinaryDir() + "/bin/ZentaMarketMonitor", AppPath() + "ZentaMarketMonitor");
        fs::create_directories(AppPath() + "Database");
        fs::copy_file(BinaryDir() + "/Database/MySQLSetup.dat",
                      AppPath() + "Database/MySQLSetup.dat");
    }
    struct Result {
        int status;
        std::string out, err;
    };
    Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        Program program(AppPath(), env, false, args);
        Result r;
        r.status = program.WaitExit(std::chrono::seconds(120));
        r.out = ReadFile(AppPath() + "stdout.txt");
        r.err = ReadFile(AppPath() + "stderr.txt");
        return r;
    }
    static bool Has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
    std::string Log() const { return ReadFile(AppPath() + "Log/ZentaMarketMonitor.log"); }
};

} // namespace zenta::test
