#pragma once
/// @file
/// The HTTP transport through which TessaroAPI sends every request, and its libcurl implementation.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/records/url.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// One HTTP request as the API builds it. A plain value; not synchronised.
struct HTTPRequest {
    std::string method;  ///< "GET", "POST", "PUT", ...
    URL url;             ///< The absolute URL; its path goes out exactly as written.
    std::vector<std::pair<std::string, std::string>> headers;      ///< Name and value, sent in this order.
    std::optional<Bytes> body;                                     ///< No value: no body at all.
    std::chrono::milliseconds timeout = std::chrono::seconds(60);  ///< Bounds the whole transfer.
};

/// One HTTP response. A plain value; not synchronised.
struct TESSARO_EXPORT HTTPResponse {
    int status = 0;                                            ///< The HTTP status code of the final response.
    std::vector<std::pair<std::string, std::string>> headers;  ///< Of the final response, as received.
    Bytes body;                                                ///< The body, possibly empty.

    /// The first header of that name (ASCII case-insensitive), or nothing. May throw std::bad_alloc.
    std::optional<std::string> header(std::string_view name) const;
};

/// Sends HTTP requests: the seam through which a host may put its own transport under TessaroAPI.
/// Implementations must be safe to use from many threads at once.
class TESSARO_EXPORT HTTPTransport {
public:
    virtual ~HTTPTransport() = default;
    /// Sends `request` and blocks until the response has arrived, the request's timeout has
    /// expired or `stop` is requested. Any HTTP status is a response; throws TessaroError::network
    /// for every transport failure (no connection, timeout, TLS failure, refused origin,
    /// cancellation through `stop`).
    virtual HTTPResponse send(const HTTPRequest& request, std::stop_token stop) = 0;
};

/// The libcurl transport. One instance is meant to be shared by every call of a client: it keeps
/// a pool of idle connections (HTTP keep-alive) and a DNS and TLS-session cache shared between
/// transfers. Thread-safe: any number of threads may call send() at once. send() blocks on the
/// network for up to the request's timeout.
///
/// Rules it enforces: only http and https; plain http only to loopback hosts (127.0.0.0/8, ::1,
/// localhost), refused before anything is sent; redirects are never followed; certificate
/// verification is always on; the request's timeout (60 seconds by default) bounds the whole
/// transfer; a stop request aborts the transfer promptly; the URL's path goes out exactly as
/// written (no dot-segment removal).
///
/// Nothing is taken from the environment: the proxy variables (HTTPS_PROXY, ALL_PROXY, NO_PROXY and
/// their kin) are ignored, and a proxy or a private certificate authority is used only when the
/// host passes it in Options. Loopback requests never go through a proxy.
///
/// Never sent twice: libcurl re-sends a request by itself when a reused keep-alive connection turns
/// out closed before any answer byte arrived. Every request whose method is not GET or HEAD (the
/// token endpoint's POSTs, request creation, patches, cancels, revocation) therefore goes out on a
/// new connection, which libcurl never retries: a refresh token is presented once, and a signed
/// request's nonce once. A GET may still be re-sent once on a fresh connection in that case; it
/// changes nothing on the server, and a server that did see the first copy refuses the second as
/// a replayed nonce.
///
/// Failures throw TessaroError::network carrying libcurl's error text. Construction throws
/// TessaroError::network when libcurl cannot be initialised.
class TESSARO_EXPORT CurlTransport final : public HTTPTransport {
public:
    /// What a host may set for a transport. A plain value.
    struct Options {
        /// Idle connections beyond this are closed when their transfer ends.
        std::size_t maxIdleConnections = 8;
        /// A proxy for every non-loopback request, in libcurl's form ("http://proxy.example:3128",
        /// "socks5h://127.0.0.1:1080"); none when empty.
        std::string proxy;
        /// A PEM file of the certificate authorities to trust instead of the system's (a private CA);
        /// the system's store when empty.
        std::string caBundleFile;
    };

    /// A transport with the default Options. Throws TessaroError::network when libcurl cannot be
    /// initialised.
    CurlTransport();
    /// A transport with `options`. Throws TessaroError::network when libcurl cannot be initialised.
    explicit CurlTransport(Options options);
    /// Closes the idle connections. Must not run while a send() is in progress.
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    /// Sends `request` under the rules above; blocks on the network for up to the request's
    /// timeout. Throws TessaroError::network for every failure.
    HTTPResponse send(const HTTPRequest& request, std::stop_token stop) override;

    /// Largest response body accepted; a bigger one fails as network.
    static constexpr std::size_t maxResponseBytes = 16 * 1024 * 1024;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro
