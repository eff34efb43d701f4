#pragma once

// A private S3 server for the off-site tests: moto (the machine's Python's), on 127.0.0.1, set up
// as a chain sets up its storage (tests/offsite/s3_setup.py): the bucket "shops" with versioning
// and Object Lock (COMPLIANCE), the bucket "plain" without either, and the keys of three IAM
// users: "shop" (put, get, list only), "careless" (everything on the bucket) and "headoffice".
// Every request after the set-up is authenticated and judged by its key's policy.
#include "TestSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zenta::test {

class S3Server {
  public:
    struct Key {
        std::string access, secret;
    };
    explicit S3Server(int port, int retentionDays = 1) : port_(port), days_(retentionDays) {}
    ~S3Server() { Stop(); }
    S3Server(const S3Server&) = delete;
    S3Server& operator=(const S3Server&) = delete;

    // The storage stands for another computer: at the lowest priority, its work does not count
    // against the shop's (for the benchmarks; before Start).
    void RunAsAnotherComputer() { nice_ = 19; }
    // Starts it and sets it up; false (with why()) when it cannot.
    bool Start() {
        if (Shell("python3 -c 'import moto.server, boto3' >/dev/null 2>&1") != 0) {
            why_ = "moto is not installed for the machine's python3 (scripts/setup installs it)";
            return false;
        }
        log_ = BinaryDir() + "/testenv/moto-" + std::to_string(port_) + ".log";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("INITIAL_NO_AUTH_ACTION_COUNT", "1000000", 1);
            if (nice_ > 0)
                ::setpriority(PRIO_PROCESS, 0, nice_);
            std::freopen(log_.c_str(), "w", stdout);
            std::freopen(log_.c_str(), "a", stderr);
            const std::string port = std::to_string(port_);
            ::execlp("python3", "python3", "-m", "moto.server", "-H", "127.0.0.1", "-p",
                     port.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 200 && !Answers(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!Answers()) {
            why_ = "moto did not start: " + ReadFile(log_);
            return false;
        }
        const std::string keys = BinaryDir() + "/testenv/moto-" + std::to_string(port_) + ".keys";
        if (Shell("python3 '" + SourceDir() + "/tests/offsite/s3_setup.py' " +
                  std::to_string(port_) + " " + std::to_string(days_) + " > '" + keys + "' 2>>'" +
                  log_ + "'") != 0) {
            why_ = "the S3 server could not be set up: " + ReadFile(log_);
            return false;
        }
        std::istringstream in(ReadFile(keys));
        for (std::string name, access, secret; in >> name >> access >> secret;)
            keys_[name] = {access, secret};
        return keys_.count("shop") > 0;
    }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    Key key(const std::string& user) const {
        const auto it = keys_.find(user);
        return it == keys_.end() ? Key{} : it->second;
    }
    const std::string& why() const { return why_; }

  private:
    bool Answers() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }
    int port_, days_, nice_ = 0;
    pid_t pid_ = -1;
    std::string log_, why_;
    std::map<std::string, Key> keys_;
};

} // namespace zenta::test
