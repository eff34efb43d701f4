#pragma once

// A TCP relay on 127.0.0.1 that stands for a network: every byte delayed by a set time each way,
// cut (the connections end, what was in flight never arrives) and started again, pointed
// elsewhere. Between two shop computers, and between a shop and its off-site storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zenta::test {

using namespace std::chrono_literals;

// The network between the two computers: every byte delayed by `delay` each way. Cut() is the
// computer's power going: the link's connections end and what was in flight never arrives.
class DelayRelay {
  public:
    // `bytesPerSecond` (0: none) is each way's speed: a slow line.
    DelayRelay(int listenPort, std::string host, int port, std::chrono::milliseconds delay,
               long long bytesPerSecond = 0)
        : listenPort_(listenPort), host_(std::move(host)), port_(port), delay_(delay),
          bytesPerSecond_(bytesPerSecond) {
        Start();
    }
    ~DelayRelay() { Cut(); }
    void Start() {
        cut_ = false;
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(listenPort_));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 16) != 0)
            ADD_FAILURE() << "the relay cannot listen on " << listenPort_;
        threads_.emplace_back([this] { Accept(); });
    }
    void Cut() {
        cut_ = true;
        for (auto& t : threads_)
            if (t.joinable())
                t.join();
        threads_.clear();
        std::lock_guard<std::mutex> hold(lock_);
        for (const int fd : sockets_)
            ::close(fd);
        sockets_.clear();
        if (listen_ >= 0)
            ::close(listen_);
        listen_ = -1;
    }

    // New connections go to another server from now on (port 0: refused), as an address that
    // moved to another computer; those made before stay where they are.
    void Point(const std::string& host, int port) {
        std::lock_guard<std::mutex> hold(lock_);
        host_ = host;
        port_ = port;
    }

  private:
    std::pair<std::string, int> Target() {
        std::lock_guard<std::mutex> hold(lock_);
        return {host_, port_};
    }
    void Accept() {
        while (!cut_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int in = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (in < 0)
                continue;
            const auto [host, port] = Target();
            const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
            if (port == 0 || ::connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(in);
                ::close(out);
                continue;
            }
            std::lock_guard<std::mutex> hold(lock_);
            sockets_.push_back(in);
            sockets_.push_back(out);
            pumps_.emplace_back([this, in, out] { Pump(in, out); });
            pumps_.emplace_back([this, in, out] { Pump(out, in); });
        }
        std::lock_guard<std::mutex> hold(lock_);
        for (const int fd : sockets_)
            ::shutdown(fd, SHUT_RDWR);
        for (auto& t : pumps_)
            t.join();
        pumps_.clear();
    }
    void Pump(int from, int to) {
        using Clock = std::chrono::steady_clock;
        std::deque<std::pair<Clock::time_point, std::string>> queue;
        char buffer[65536];
        bool ended = false;
        while (!cut_) {
            int wait = 20;
            if (!queue.empty())
                wait = static_cast<int>(
                    std::clamp<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              queue.front().first - Clock::now())
                                              .count(),
                                          0, 20));
            pollfd p{from, POLLIN, 0};
            if (!ended && ::poll(&p, 1, wait) > 0) {
                const ssize_t n = ::read(from, buffer, sizeof buffer);
                if (n <= 0)
                    ended = true;
                else
                    queue.emplace_back(Clock::now() + delay_, std::string(buffer, n));
                // A slow line: the bytes take their time before the next read.
                if (n > 0 && bytesPerSecond_ > 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(
                        static_cast<long long>(n) * 1000000 / bytesPerSecond_));
            } else if (ended) {
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            }
            while (!queue.empty() && queue.front().first <= Clock::now()) {
                const std::string& bytes = queue.front().second;
                for (size_t done = 0; done < bytes.size();) {
                    const ssize_t n =
                        ::send(to, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                    if (n <= 0)
                        return;
                    done += static_cast<size_t>(n);
                }
                queue.pop_front();
            }
            if (ended && queue.empty()) {
                ::shutdown(to, SHUT_WR);
                return;
            }
        }
    }

    int listenPort_;
    std::string host_;
    int port_;
    std::chrono::milliseconds delay_;
    long long bytesPerSecond_ = 0;
    std::atomic<bool> cut_{false};
    int listen_ = -1;
    std::mutex lock_;
    std::vector<int> sockets_;
    std::vector<std::thread> threads_, pumps_;
};

} // namespace zenta::test
