#pragma once
/// @file
/// LoopbackRedirect: receives callback URLs on a loopback HTTP redirect URI.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <tessaro/records/url.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

class TessaroClient;

/// The native-app redirect of RFC 8252 for hosts without a desktop entry: a small HTTP listener on
/// 127.0.0.1 whose URL (http://127.0.0.1:PORT/PATH) the host puts into its configuration as the
/// redirect URL. Built before the client; then given the client (held weakly) or any handler. Each
/// GET of its path is handed over as the URL http://127.0.0.1:PORT + target and answered with a
/// short page telling the user to return to the application (Chinese and English). Other paths get
/// 404, other methods 405, a request line and headers over maxRequestBytes 431, anything that is not
/// HTTP/1.x 400; a request must arrive whole within requestTimeout. Each connection is served on a
/// worker thread of its own (up to `workers` at once), so a slow client does not hold up a callback.
///
/// Listens from construction until destruction (which waits for requests in progress, bounded by
/// requestTimeout). Thread-safe: setClient/setHandler from any thread; the handler runs on a worker
/// thread and must not block for long. The constructor throws tessaro::SystemError (a
/// std::runtime_error) when it cannot listen, the port being taken, and tessaro::InvalidArgument
/// when the path is not an absolute path without query. Not copyable.
class TESSARO_EXPORT LoopbackRedirect {
public:
    /// Where and how the listener listens. A plain value.
    struct Options {
        std::uint16_t port = 0;                          ///< The port on 127.0.0.1; 0: an ephemeral port.
        std::string path = "/tessaro/callback";          ///< The callback path: absolute, without "?", "#", "%" or " ".
        std::size_t maxRequestBytes = 8192;              ///< The longest request line and headers; beyond: 431.
        std::chrono::milliseconds requestTimeout{5000};  ///< How long a request may take to arrive whole.
        int workers = 8;                                 ///< Connections served at once.
    };
    /// Gets each callback URL, on a worker thread. Its result tells whether the URL was taken; the
    /// page shown is the same either way. An exception it throws is dropped (the page is still
    /// shown).
    using Handler = std::function<bool(const URL& url)>;

    /// Starts listening as `options` say, with no handler yet (callbacks are answered and
    /// dropped). Throws tessaro::SystemError when it cannot listen (code() EADDRINUSE for a port
    /// that is taken), tessaro::InvalidArgument when the path is not acceptable; std::bad_alloc. Blocks only on binding the socket and starting the listener's thread.
    explicit LoopbackRedirect(Options options);
    /// LoopbackRedirect(Options) with default options: an ephemeral port, "/tessaro/callback".
    LoopbackRedirect();
    /// Stops listening, then waits for the requests in progress (each bounded by requestTimeout
    /// and a two-second send timeout); the handler is not called after that.
    ~LoopbackRedirect();
    /// Not copyable.
    LoopbackRedirect(const LoopbackRedirect&) = delete;
    /// Not copyable.
    LoopbackRedirect& operator=(const LoopbackRedirect&) = delete;

    /// http://127.0.0.1:PORT/PATH, the URL to configure as the client's redirect URL. Constant;
    /// valid as long as the object lives.
    const URL& redirectURL() const noexcept;
    /// The port listened on (the one chosen when Options::port was 0).
    std::uint16_t port() const noexcept;

    /// Hands callbacks to client->handleCallback while the client lives (it is held weakly; once it
    /// is gone, callbacks are dropped). The same as setHandler with a handler that does this: it
    /// replaces any earlier handler or client, and a later setHandler replaces it in turn, so
    /// whichever of the two was called last wins. Blocks only on an internal lock.
    void setClient(const std::shared_ptr<TessaroClient>& client);
    /// Replaces the handler (empty: callbacks are answered and dropped), also one set by
    /// setClient; the last call wins. A request already being served may still reach the
    /// handler it copied. Blocks only on an internal lock.
    void setHandler(Handler handler);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro
