#include "ComputerIdentity.h"

#include "Common.h"
#include "Text.h"
#include "Variant.h"

#include <arpa/inet.h>
#include <climits>
#include <netdb.h>
#include <unistd.h>

namespace zenta {

std::string GetAppPath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./";
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.find_last_of('/');
    return exe.substr(0, slash + 1);
}

std::string GetExecutableName() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "ZentaMarketMonitor";
    std::string exe(buf, static_cast<size_t>(n));
    exe = exe.substr(exe.find_last_of('/') + 1);
    size_t dot = exe.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? exe : exe.substr(0, dot);
}

std::string GetLocalComputerName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0)
        return {};
    std::string name = TrimSpaces(buf);
    name = name.substr(0, name.find('.'));
    if (name.size() > 15)
        name.resize(15);
    return name;
}

std::string GetLocalIP() {
    return GetIPFromHostName(GetLocalComputerName());
}

std::uint32_t ResolveHostAddress(const std::string& host) {
    in_addr a{};
    if (::inet_pton(AF_INET, host.c_str(), &a) == 1)
        return a.s_addr;
    if (host.empty())
        return INADDR_NONE_VALUE;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
        return INADDR_NONE_VALUE;
    std::uint32_t addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(res);
    return addr;
}

std::string AddressToText(std::uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char buf[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &a, buf, sizeof buf))
        return "255.255.255.255";
    return buf;
}

std::string GetIPFromHostName(const std::string& host) {
    std::string description;
    SocketsInitialize(description);
    std::string text = AddressToText(ResolveHostAddress(host));
    SocketsCleanup();
    return text;
}

bool IsIPAddress(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        parts.push_back(
            text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (parts.size() != 4)
        return false;
    if (Val(parts[0]) == 0)
        return false;
    for (auto& p : parts) {
        std::string t = TrimSpaces(p);
        if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos)
            return false;
        double v = Val(t);
        if (v < 0 || v > 255)
            return false;
    }
    return true;
}

bool SocketsInitialize(std::string& description) {
    description = "BSD sockets";
    return true;
}

void SocketsCleanup() {}

bool IsThisComputer(const std::string& host) {
    const std::string h = AsciiLowerCase(host);
    const std::string n = GetLocalComputerName();
    if (IsIPAddress(h))
        return h == "127.0.0.1" || h == GetIPFromHostName(n);
    return h == "localhost" || h == AsciiLowerCase(n);
}

} // namespace zenta
