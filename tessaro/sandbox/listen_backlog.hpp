#pragma once
/// @file
/// Raising the listen backlog of a cpp-httplib server: for the sandbox's own server and for the
/// loopback servers of the tests and benches.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace tessaro::sandbox {

/// Raises to SOMAXCONN the backlog of this process's socket listening on 127.0.0.1:`port`.
///
/// cpp-httplib listens with a backlog of 5, compiled into Debian's library: a burst of new
/// connections (every POST of the kit comes on a fresh one) overflows it and each dropped SYN costs
/// a retransmit of a second or more. Listening again on the bound socket raises the backlog (Linux
/// updates it in place); the socket is found among this process's descriptors by its port. Does
/// nothing when no such socket is found.
///
/// Thread safety: safe to call from any thread; it only reads the descriptor table.
/// Throws: nothing.
inline void widenListenBacklog(int port) noexcept {
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end; !error && entry != end;
         entry.increment(error)) {
        int fd = -1;
        try {
            fd = std::stoi(entry->path().filename().string());
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

}  // namespace tessaro::sandbox
