#pragma once
// Which hosts count as loopback: the only ones plain http may reach.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace tessaro::detail {

// True for "localhost" (any case), an IPv4 literal in 127.0.0.0/8 and the IPv6 literal ::1 (with
// or without brackets). Anything else, including other spellings of those addresses, is false.
inline bool isLoopbackHost(std::string_view host) noexcept {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (std::ranges::equal(host, std::string_view("localhost"), {}, lower)) return true;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        std::string text(host);
        in6_addr address{};
        return inet_pton(AF_INET6, text.c_str(), &address) == 1 &&
               std::memcmp(&address, &in6addr_loopback, sizeof address) == 0;
    }
    if (host.size() > 64) return false;
    std::string text(host);
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
}

}  // namespace tessaro::detail
