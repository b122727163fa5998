#pragma once
// The HTTP transport through which TessaroAPI sends every request, and its libcurl implementation.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crypto/bytes.hpp"
#include "records/url.hpp"

namespace tessaro {

// One HTTP request as the API builds it. Plain value.
struct HTTPRequest {
    std::string method;  // "GET", "POST", "PUT", ...
    URL url;
    std::vector<std::pair<std::string, std::string>> headers;  // sent in this order
    std::optional<Bytes> body;                                  // no value: no body at all
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

// One HTTP response. Plain value.
struct HTTPResponse {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // of the final response, as received
    Bytes body;

    // The first header of that name (ASCII case-insensitive), or nothing.
    std::optional<std::string> header(std::string_view name) const;
};

// Sends HTTP requests. Implementations must be safe to use from many threads at once.
// send() throws TessaroError::network for every transport failure (no connection, timeout,
// TLS failure, refused origin, cancellation through `stop`); any HTTP status is a response.
class HTTPTransport {
public:
    virtual ~HTTPTransport() = default;
    virtual HTTPResponse send(const HTTPRequest& request, std::stop_token stop) = 0;
};

// The libcurl transport. One instance is meant to be shared by every call of a client: it keeps
// a pool of idle connections (HTTP keep-alive) and a DNS and TLS-session cache shared between
// transfers. Thread-safe: any number of threads may call send() at once.
//
// Rules it enforces: only http and https; plain http only to loopback hosts (127.0.0.0/8, ::1,
// localhost), refused before anything is sent; redirects are never followed; certificate
// verification is always on; the request's timeout (60 seconds by default) bounds the whole
// transfer; a stop request aborts the transfer promptly. Loopback http never goes through a proxy.
// Failures throw TessaroError::network carrying libcurl's error text.
class CurlTransport final : public HTTPTransport {
public:
    // Idle connections beyond `maxIdleConnections` are closed when their transfer ends.
    explicit CurlTransport(std::size_t maxIdleConnections = 8);
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    HTTPResponse send(const HTTPRequest& request, std::stop_token stop) override;

    // Largest response body accepted; a bigger one fails as network.
    static constexpr std::size_t maxResponseBytes = 16 * 1024 * 1024;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

namespace detail {
// True for "localhost", an IPv4 literal in 127.0.0.0/8 and the IPv6 literal ::1 (with or
// without brackets). Anything else, including other spellings of those addresses, is false.
bool isLoopbackHost(std::string_view host) noexcept;
}  // namespace detail

}  // namespace tessaro
