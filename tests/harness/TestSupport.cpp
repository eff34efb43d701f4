#include "TestSupport.h"

#include "TestConfig.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace zenta::test {

namespace {

// Everything a test binary needs in its environment, set before any test runs: the ODBC driver
// names of the build tree, the private server's socket for "localhost", a registry store of
// its own.
struct Environment {
    Environment() {
        setenv("ODBCSYSINI", ZENTA_TEST_ENV_DIR, 1);
        setenv("ODBCINI", ZENTA_TEST_ENV_DIR "/odbc.ini", 1);
        setenv("MYSQL_UNIX_PORT", ZENTA_TEST_DB_DIR "/mysqld.sock", 1);
        const std::string reg =
            std::string(ZENTA_TEST_ENV_DIR) + "/registry-" + std::to_string(::getpid()) + ".reg";
        setenv("ZENTA_REGISTRY", reg.c_str(), 1);
        unsetenv("ZENTA_CODEPAGE");
    }
    ~Environment() {
        if (const char* r = std::getenv("ZENTA_REGISTRY")) {
            std::remove(r);
            std::remove((std::string(r) + ".lock").c_str());
        }
    }
};

} // namespace

void InitTestEnvironment() {
    static Environment environment;
}

std::string SourceDir() {
    return ZENTA_SOURCE_DIR;
}
std::string BinaryDir() {
    return ZENTA_BINARY_DIR;
}
int DbPort() {
    return std::atoi(ZENTA_TEST_DB_PORT);
}
std::string DbDir() {
    return ZENTA_TEST_DB_DIR;
}
std::string DbSocket() {
    return std::string(ZENTA_TEST_DB_DIR) + "/mysqld.sock";
}

TempDir::TempDir(const std::string& hint) {
    std::string base = std::string(ZENTA_TEST_ENV_DIR) + "/tmp";
    std::filesystem::create_directories(base);
    std::string tmpl = base + "/" + hint + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = std::string(buf.data()) + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int Shell(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Sql(const std::string& statements, const std::string& database) {
    TempDir dir("sql");
    WriteFile(dir.path() + "in.sql", statements);
    std::string cmd =
        "mariadb --no-defaults --default-character-set=utf8mb4 -N -B -uroot --socket='" +
        DbSocket() + "' " + database + " < '" + dir.path() + "in.sql' > '" + dir.path() +
        "out.txt' 2> '" + dir.path() + "err.txt'";
    int rc = Shell(cmd);
    if (rc != 0)
        ADD_FAILURE() << "mariadb client failed: " << ReadFile(dir.path() + "err.txt")
                      << "\nfor: " << statements.substr(0, 500);
    return ReadFile(dir.path() + "out.txt");
}

void ResetDatabase() {
    Sql("DROP DATABASE IF EXISTS zentasupermarket; CREATE DATABASE zentasupermarket CHARACTER "
        "SET utf8mb4;",
        "mysql");
    std::string cmd = "mariadb --no-defaults -uroot --socket='" + DbSocket() +
                      "' zentasupermarket < '" + SourceDir() + "/schema/zentasupermarket.sql'";
    ASSERT_EQ(Shell(cmd), 0);
}

bool Have(const std::string& program) {
    return Shell("command -v " + program + " >/dev/null 2>&1") == 0;
}

int Spawn(const std::vector<std::string>& args, const std::string& out) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(out.c_str(), "w", stderr))
            ::_exit(126);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int StartXServer(std::string& display, const std::string& screen) {
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr))
            ::_exit(126);
        const std::string fd = std::to_string(fds[1]);
        // -noreset: by default the server starts over each time its last client leaves (each
        // probe of the tests); the tray host and the program should meet one steady server.
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp",
                 "-screen", "0", screen.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return -1;
    }
    // The number arrives as "N\n" once the server is ready; a slow machine gets 30 seconds.
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&wait, 1, 30000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(fds[0]);
    if (number.empty() || c != '\n') {
        StopSpawned(pid);
        return -1;
    }
    display = ":" + number;
    return pid;
}

void StopSpawned(int pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
}

bool HasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == '#' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != shape[i])
            return false;
    return true;
}

size_t FindShape(const std::string& text, const std::string& shape) {
    for (size_t at = 0; at + shape.size() <= text.size(); ++at)
        if (HasShape(text.substr(at, shape.size()), shape))
            return at;
    return std::string::npos;
}

bool EndsWithShape(const std::string& text, const std::string& shape) {
    return text.size() >= shape.size() && HasShape(text.substr(text.size() - shape.size()), shape);
}

void MakeSmallArchive(const std::string& path) {
    TempDir dir("arc");
    WriteFile(dir.path() + "MarketBackup.ini", "[Version]\r\nVersoin=3\r\n");
    ASSERT_EQ(Shell("cd '" + dir.path() + "' && 7zz a -y -t7z -mx5 '" + path +
                    "' MarketBackup.ini >/dev/null"),
              0);
}

void CopyCutShort(const std::string& from, const std::string& to, size_t bytes) {
    WriteFile(to, ReadFile(from).substr(0, bytes));
}

SilentListener::SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::listen(fd_, 16) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
}

SilentListener::~SilentListener() {
    if (fd_ >= 0)
        ::close(fd_);
}

SmallFileSystem::SmallFileSystem(const std::string& folder, const std::string& size)
    : folder_(folder) {
    std::filesystem::create_directories(folder);
    mounted_ = Shell("mount -t tmpfs -o size=" + size + ",mode=0770 tmpfs '" + folder +
                     "' 2>/dev/null") == 0;
}

SmallFileSystem::~SmallFileSystem() {
    if (mounted_)
        Shell("umount -l '" + folder_ + "'");
}

LabelledDrive::LabelledDrive(const std::string& label, const std::string& size) : dir_("drive") {
    label_ = label + std::to_string(::getpid() % 100000);
    image_ = dir_.path() + "drive.img";
    mount_ = dir_.path() + "mnt/";
    std::filesystem::create_directories(mount_);
    if (::geteuid() != 0 || !Have("mkfs.ext4") ||
        Shell("truncate -s " + size + " '" + image_ + "' && mkfs.ext4 -q -m 0 -L '" + label_ +
              "' '" + image_ + "' 2>/dev/null") != 0)
        return;
    Mount();
}

LabelledDrive::~LabelledDrive() {
    if (mounted_)
        Unmount(true);
}

bool LabelledDrive::Mount(const std::string& options) {
    if (mounted_)
        Unmount();
    mounted_ = Shell("mount -o loop" + (options.empty() ? "" : "," + options) + " '" + image_ +
                     "' '" + mount_ + "' 2>/dev/null") == 0;
    return mounted_;
}

bool LabelledDrive::Unmount(bool lazy) {
    const bool ok = Shell(std::string("umount ") + (lazy ? "-l " : "") + "'" + mount_ + "'") == 0;
    if (ok)
        mounted_ = false;
    return ok;
}

void LabelledDrive::FillLeaving(long long bytes) {
    struct statvfs vfs {};
    if (::statvfs(mount_.c_str(), &vfs) != 0)
        return;
    const long long free = static_cast<long long>(vfs.f_bavail) * vfs.f_frsize;
    if (free > bytes)
        Shell("fallocate -l " + std::to_string(free - bytes) + " '" + mount_ + "filler'");
}

void LabelledDrive::Unfill() {
    std::filesystem::remove(mount_ + "filler");
}

} // namespace zenta::test
