#include "HelperPrograms.h"

#include "Common.h"
#include "ErrorMode.h"
#include "Globals.h"
#include "Process.h"
#include "Variant.h"

#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zenta {

namespace fs = std::filesystem;

namespace {

// A connected socket to localhost:port within the time-out, or -1.
int Connect(int port, int timeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo("localhost", std::to_string(port).c_str(), &hints, &res) != 0)
        return -1;
    int fd = -1;
    for (addrinfo* a = res; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            ::close(fd);
            fd = -1;
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, timeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(res);
    return fd;
}

bool SendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 1000) != 1)
            return false;
        ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void StartService(const std::string& baseName, bool running) {
    if (running)
        return;
    CopyAndStartHelper(baseName);
}

} // namespace

bool ProbeHelper(int port, const std::string& request) {
    int fd = Connect(port, 1000);
    if (fd < 0)
        return false;
    bool running = false;
    if (SendAll(fd, request)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) == 1) {
            char buf[256];
            ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
            if (n > 0)
                running = Val(std::string(buf, static_cast<size_t>(n))) == 201;
        }
    }
    ::close(fd);
    return running;
}

bool SendToHelper(int port, const std::string& request) {
    int fd = Connect(port, 1000);
    if (fd < 0)
        return false;
    const bool ok = SendAll(fd, request);
    ::close(fd);
    return ok;
}

bool StartHidden(const std::string& fileName) {
    if (!StartProgram(Globals::AppPath + fileName, {}, Globals::AppPath)) {
        WriteProgramLog("cannot start " + fileName);
        return false;
    }
    return true;
}

bool CopyAndStartHelper(const std::string& baseName) {
    const std::string program = Globals::AppPath + baseName + ".dll";
    const std::string shipped = Globals::AppPath + baseName + ".bin";
    std::error_code ec;
    if (FileExists(program))
        fs::remove(program, ec);
    if (!FileExists(shipped))
        return false;
    fs::copy_file(shipped, program, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        WriteProgramLog("cannot copy " + shipped + ": " + ec.message());
        return false;
    }
    fs::permissions(program, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, ec);
    return StartHidden(baseName + ".dll");
}

bool IsDVRRunning() {
    return ProbeHelper(kRecorderPort, "0");
}

bool IsServerRunning() {
    return ProbeHelper(kServerHelperPort, "0, 0");
}

void StartDVRService() {
    StartService("ZentaDVR", IsDVRRunning());
}

void StartServerService() {
    StartService("ZentaMarketServer", IsServerRunning());
}

} // namespace zenta
