#include "ServiceNotification.h"

#include "FileDescriptor.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace zenta {

void NotifyServiceManager(const std::string& state) {
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    if (!socketPath || !*socketPath)
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = socketPath;
    if (path.size() >= sizeof addr.sun_path)
        return;
    std::memcpy(addr.sun_path, path.data(), path.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    if (path[0] == '@')
        addr.sun_path[0] = '\0'; // an abstract socket
    else
        ++length;
    FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return;
    ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
             length);
}

} // namespace zenta
