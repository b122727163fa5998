#pragma once
// LoopbackRedirect: receives callback URLs on a loopback HTTP redirect URI.

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

// The native-app redirect of RFC 8252 for hosts without a desktop entry: a small HTTP listener on
// 127.0.0.1 whose URL (http://127.0.0.1:PORT/PATH) the host puts into its configuration as the
// redirect URL. Built before the client; then given the client (held weakly) or any handler. Each
// GET of its path is handed over as the URL http://127.0.0.1:PORT + target and answered with a
// short page telling the user to return to the application (Chinese and English). Other paths get
// 404, other methods 405, a request line and headers over maxRequestBytes 431, anything that is not
// HTTP/1.x 400; a request must arrive whole within requestTimeout. Each connection is served on a
// worker thread of its own (up to `workers` at once), so a slow client does not hold up a callback.
//
// Listens from construction until destruction (which waits for requests in progress, bounded by
// requestTimeout). Thread-safe: setClient/setHandler from any thread; the handler runs on a worker
// thread and must not block for long. The constructor throws std::runtime_error when it cannot
// listen (the port is taken, the path is not an absolute path without query).
class TESSARO_EXPORT LoopbackRedirect {
public:
    struct Options {
        std::uint16_t port = 0;  // 0: an ephemeral port
        std::string path = "/tessaro/callback";
        std::size_t maxRequestBytes = 8192;
        std::chrono::milliseconds requestTimeout{5000};
        int workers = 8;
    };
    // Gets each callback URL; returns whether it was taken (for the page shown, and for tests).
    using Handler = std::function<bool(const URL& url)>;

    explicit LoopbackRedirect(Options options);
    LoopbackRedirect();
    ~LoopbackRedirect();
    LoopbackRedirect(const LoopbackRedirect&) = delete;
    LoopbackRedirect& operator=(const LoopbackRedirect&) = delete;

    // http://127.0.0.1:PORT/PATH
    const URL& redirectURL() const noexcept;
    std::uint16_t port() const noexcept;

    // Callbacks go to client->handleCallback while the client lives.
    void setClient(const std::shared_ptr<TessaroClient>& client);
    void setHandler(Handler handler);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro
