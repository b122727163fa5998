#pragma once
// Raising the listen backlog of a cpp-httplib server, for the sandbox and the benches' servers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace tessaro::sandbox::detail {

// cpp-httplib listens with a backlog of 5, compiled into Debian's library: a burst of new
// connections (every POST of the kit comes on a fresh one) overflows it and each dropped SYN costs
// a retransmit of a second or more. Listening again on the bound socket raises the backlog (Linux
// updates it in place); the socket is found among this process's descriptors by its port.
inline void widenListenBacklog(int port) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        int fd = -1;
        try {
            fd = std::stoi(entry.path().filename().string());
        } catch (...) {
            continue;
        }
        int listening = 0;
        socklen_t length = sizeof listening;
        sockaddr_in address{};
        socklen_t addressLength = sizeof address;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0 &&
            address.sin_family == AF_INET && ntohs(address.sin_port) == port &&
            address.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            ::listen(fd, SOMAXCONN);
            return;
        }
    }
}

}  // namespace tessaro::sandbox::detail
