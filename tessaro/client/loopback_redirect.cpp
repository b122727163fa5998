#include <tessaro/client/loopback_redirect.hpp>

#include <gio/gio.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/records/exception.hpp>

namespace tessaro {

namespace {

constexpr std::string_view page =
    "<!DOCTYPE html>\n<html lang=\"zh\"><head><meta charset=\"utf-8\"><title>Tessaro</title></head>\n"
    "<body><p>可以返回应用程序了。</p><p lang=\"en\">You can return to the application.</p></body></html>\n";

std::string response(int status, std::string_view reason, std::string_view body, std::string_view extra = {}) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
    text += "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n";
    text += extra;
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    text += body;
    return text;
}

std::string errorPage(int status, std::string_view reason) {
    return response(status, reason, "<!DOCTYPE html>\n<title>" + std::to_string(status) + "</title>\n",
                    status == 405 ? "Allow: GET\r\n" : "");
}

}  // namespace

struct TESSARO_NO_EXPORT LoopbackRedirect::Impl {
    Options options;
    std::optional<URL> redirectURL;
    std::uint16_t port = 0;

    std::mutex mutex;  // handler, inFlight
    std::condition_variable idle;
    Handler handler;
    int inFlight = 0;

    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    GSocketService* service = nullptr;
    std::thread thread;

    // The head of one request (request line and headers), or why there is none: the status to
    // answer with, 0 when the client went away or ran out of time.
    struct Head {
        std::string text;
        int status = 0;
    };

    Head readHead(GSocket* socket) const {
        const gint64 deadline = g_get_monotonic_time() + std::chrono::microseconds(options.requestTimeout).count();
        Head head;
        char buffer[1024];
        while (head.text.find("\r\n\r\n") == std::string::npos) {
            if (head.text.size() > options.maxRequestBytes) {
                head.status = 431;
                return head;
            }
            const gint64 left = deadline - g_get_monotonic_time();
            if (left <= 0 || !g_socket_condition_timed_wait(socket, G_IO_IN, left, nullptr, nullptr)) return head;
            const gssize n = g_socket_receive(socket, buffer, sizeof buffer, nullptr, nullptr);
            if (n <= 0) return head;
            head.text.append(buffer, static_cast<std::size_t>(n));
        }
        if (head.text.find("\r\n\r\n") > options.maxRequestBytes) head.status = 431;
        return head;
    }

    // The answer to one request head.
    std::string answer(const std::string& text) {
        const std::string line = text.substr(0, text.find("\r\n"));
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos ||
            (line.compare(second + 1, std::string::npos, "HTTP/1.1") != 0 &&
             line.compare(second + 1, std::string::npos, "HTTP/1.0") != 0)) {
            return errorPage(400, "Bad Request");
        }
        const std::string method = line.substr(0, first);
        const std::string target = line.substr(first + 1, second - first - 1);
        if (target.empty() || target.front() != '/') return errorPage(400, "Bad Request");
        const std::string path = target.substr(0, target.find('?'));
        if (path != options.path) return errorPage(404, "Not Found");
        if (method != "GET") return errorPage(405, "Method Not Allowed");
        const auto url = URL::parse("http://127.0.0.1:" + std::to_string(port) + target);
        if (!url) return errorPage(400, "Bad Request");
        Handler current;
        {
            std::lock_guard guard(mutex);
            current = handler;
        }
        if (current) {
            try {
                current(*url);
            } catch (...) {
                // The page is the same either way: the host learns of the outcome in its flow.
            }
        }
        return response(200, "OK", page);
    }

    void serve(GSocketConnection* connection) {
        GSocket* socket = g_socket_connection_get_socket(connection);
        const Head head = readHead(socket);
        std::string reply;
        if (head.status != 0) {
            reply = errorPage(head.status, "Request Header Fields Too Large");
        } else if (!head.text.empty() && head.text.find("\r\n\r\n") != std::string::npos) {
            reply = answer(head.text);
        }
        // Writes as much as the client takes within the time left; a client that reads nothing
        // cannot hold the worker, because the socket times out.
        g_socket_set_timeout(socket, 2);
        std::size_t sent = 0;
        while (sent < reply.size()) {
            const gssize n = g_socket_send(socket, reply.data() + sent, reply.size() - sent, nullptr, nullptr);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        g_socket_shutdown(socket, FALSE, TRUE, nullptr);
    }

    static gboolean onRun(GThreadedSocketService*, GSocketConnection* connection, GObject*, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        {
            // Pairs with onIncoming: the hand-over through GLib's thread pool is invisible to
            // ThreadSanitizer, this lock is not.
            std::lock_guard guard(self->mutex);
        }
        self->serve(connection);
        // Notified under the lock: the destructor may free the condition variable as soon as it
        // sees the count drop.
        std::lock_guard guard(self->mutex);
        --self->inFlight;
        self->idle.notify_all();
        return TRUE;
    }

    // Counts the connection before the worker runs, so that the destructor waits for it.
    static gboolean onIncoming(GSocketService*, GSocketConnection*, GObject*, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        std::lock_guard guard(self->mutex);
        ++self->inFlight;
        return FALSE;  // the threaded service's own handler goes on to run the worker
    }
};

LoopbackRedirect::LoopbackRedirect() : LoopbackRedirect(Options{}) {}

LoopbackRedirect::LoopbackRedirect(Options options) : impl_(std::make_unique<Impl>()) {
    Impl& impl = *impl_;
    if (options.path.empty() || options.path.front() != '/' ||
        options.path.find_first_of("?#% ") != std::string::npos) {
        throw InvalidArgument("LoopbackRedirect: the path must be absolute, without query or fragment");
    }
    impl.options = std::move(options);
    impl.context = g_main_context_new();
    impl.loop = g_main_loop_new(impl.context, FALSE);

    // The service's accept source belongs to the thread-default context when it starts.
    g_main_context_push_thread_default(impl.context);
    impl.service = g_threaded_socket_service_new(impl.options.workers);
    GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GSocketAddress* address = g_inet_socket_address_new(loopback, impl.options.port);
    GSocketAddress* effective = nullptr;
    GError* error = nullptr;
    const gboolean added = g_socket_listener_add_address(G_SOCKET_LISTENER(impl.service), address, G_SOCKET_TYPE_STREAM,
                                                         G_SOCKET_PROTOCOL_TCP, nullptr, &effective, &error);
    g_object_unref(address);
    g_object_unref(loopback);
    if (!added) {
        const std::string message = error ? error->message : "unknown error";
        // GIO keeps no errno; the two causes a host can act on keep theirs.
        int code = EIO;
        if (error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_ADDRESS_IN_USE)) code = EADDRINUSE;
        if (error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED)) code = EACCES;
        g_clear_error(&error);
        g_main_context_pop_thread_default(impl.context);
        g_object_unref(impl.service);
        g_main_loop_unref(impl.loop);
        g_main_context_unref(impl.context);
        throw SystemError(code, "LoopbackRedirect: cannot listen on 127.0.0.1: " + message);
    }
    impl.port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(effective));
    g_object_unref(effective);
    g_signal_connect(impl.service, "incoming", G_CALLBACK(Impl::onIncoming), &impl);
    g_signal_connect(impl.service, "run", G_CALLBACK(Impl::onRun), &impl);
    g_socket_service_start(impl.service);
    g_main_context_pop_thread_default(impl.context);

    impl.redirectURL = URL::parse("http://127.0.0.1:" + std::to_string(impl.port) + impl.options.path);
    impl.thread = std::thread([&impl] {
        g_main_context_push_thread_default(impl.context);
        g_main_loop_run(impl.loop);
        g_main_context_pop_thread_default(impl.context);
    });
}

LoopbackRedirect::~LoopbackRedirect() {
    Impl& impl = *impl_;
    // Stops accepting (on the loop's own thread, where the service lives), then waits for the
    // requests in progress; each is bounded by the request timeout and the send timeout.
    g_main_context_invoke(
        impl.context,
        [](gpointer data) -> gboolean {
            auto* self = static_cast<Impl*>(data);
            g_socket_service_stop(self->service);
            g_socket_listener_close(G_SOCKET_LISTENER(self->service));
            g_main_loop_quit(self->loop);
            return G_SOURCE_REMOVE;
        },
        &impl);
    impl.thread.join();
    {
        std::unique_lock guard(impl.mutex);
        impl.idle.wait(guard, [&] { return impl.inFlight == 0; });
    }
    g_signal_handlers_disconnect_by_data(impl.service, &impl);
    g_object_unref(impl.service);
    g_main_loop_unref(impl.loop);
    g_main_context_unref(impl.context);
}

const URL& LoopbackRedirect::redirectURL() const noexcept { return *impl_->redirectURL; }
std::uint16_t LoopbackRedirect::port() const noexcept { return impl_->port; }

void LoopbackRedirect::setHandler(Handler handler) {
    std::lock_guard guard(impl_->mutex);
    impl_->handler = std::move(handler);
}

void LoopbackRedirect::setClient(const std::shared_ptr<TessaroClient>& client) {
    setHandler([weak = std::weak_ptr<TessaroClient>(client)](const URL& url) {
        const auto target = weak.lock();
        return target && target->handleCallback(url);
    });
}

}  // namespace tessaro
