// The loopback redirect receiver over real sockets: what each request is answered, callbacks that
// wake a waiting flow, slow and malformed clients beside a callback, where it listens, and its end.
#include <tessaro/client/loopback_redirect.hpp>
#include <tessaro/records/exception.hpp>

#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <tessaro/client/testing/client_test_support.hpp>

namespace tessaro {
namespace {

using namespace tessaro::testing::client;

// A TCP connection to host:port whose reads give up after 10 s; -1 when refused.
int connectTo(std::uint16_t port, const char* host = "127.0.0.1") {
    const addrinfo hints{.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV, .ai_socktype = SOCK_STREAM};
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = ::socket(found->ai_family, SOCK_STREAM, 0);
    if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) ::close(std::exchange(fd, -1));
    ::freeaddrinfo(found);
    const timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

// Sends `request` on a new connection and reads the whole answer.
std::string exchange(std::uint16_t port, const std::string& request) {
    const int fd = connectTo(port);
    if (fd < 0) return "refused";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return answer;
}

std::string statusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

// Only GETs of the receiver's path are handed over; every request gets an HTML page with its status.
TEST(LoopbackRedirect, AnswersEachRequestAndHandsOverOnlyGetsOfItsPath) {
    LoopbackRedirect receiver;
    std::mutex mutex;
    std::vector<std::string> urls;  // handed over
    receiver.setHandler([&](const URL& url) {
        std::lock_guard guard(mutex);
        urls.push_back(url.absoluteString());
        return true;
    });
    const std::string base = "http://127.0.0.1:" + std::to_string(receiver.port());
    EXPECT_EQ(receiver.redirectURL().absoluteString(), base + "/tessaro/callback");
    const std::pair<std::string, std::string> cases[] = {
        {"GET /tessaro/callback?state=s1&code=c%2F1 HTTP/1.1\r\nHost: x\r\n\r\n", "200 OK"},
        {"GET /tessaro/callback HTTP/1.0\r\n\r\n", "200 OK"},
        {"POST /tessaro/callback?state=s1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "405 Method Not Allowed"},
        {"GET /tessaro/callbackx HTTP/1.1\r\n\r\n", "404 Not Found"},
        {"GARBAGE\r\n\r\n", "400 Bad Request"},
        {"GET /tessaro/callback HTTP/2\r\n\r\n", "400 Bad Request"},
        {"GET http://evil.example/tessaro/callback HTTP/1.1\r\n\r\n", "400 Bad Request"},
        {"GET /tessaro/callback HTTP/1.1\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n",
         "431 Request Header Fields Too Large"},
    };
    for (const auto& [request, status] : cases) {
        const std::string answer = exchange(receiver.port(), request);
        EXPECT_EQ(statusLine(answer), "HTTP/1.1 " + status) << request.substr(0, 60);
        EXPECT_NE(answer.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    }
    std::lock_guard guard(mutex);
    EXPECT_EQ(urls,
              (std::vector<std::string>{base + "/tessaro/callback?state=s1&code=c%2F1", base + "/tessaro/callback"}));
}

// Slow clients (a request that never ends, a connection that sends nothing) and a malformed one
// occupy workers, yet a callback arriving after them is handed over at once (its page, a 200, comes
// after the hand-over).
TEST(LoopbackRedirect, SlowAndMalformedClientsDoNotHoldUpACallback) {
    LoopbackRedirect receiver({.requestTimeout = std::chrono::seconds(5)});
    std::vector<int> slow;
    for (int i = 0; i < 3; ++i) {
        slow.push_back(connectTo(receiver.port()));
        ::send(slow.back(), "GET /tessaro/call", 17, MSG_NOSIGNAL);
    }
    slow.push_back(connectTo(receiver.port()));  // sends nothing
    EXPECT_EQ(statusLine(exchange(receiver.port(), "\x01\x02\r\n\r\n")), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(statusLine(exchange(receiver.port(), "GET /tessaro/callback?state=late HTTP/1.1\r\n\r\n")),
              "HTTP/1.1 200 OK");
    // The callback was answered while every slow client was still waiting to be cut off.
    for (const int fd : slow) {
        char byte;
        EXPECT_EQ(::recv(fd, &byte, 1, MSG_DONTWAIT), -1);
        EXPECT_EQ(errno, EAGAIN);
        ::close(fd);
    }
}

// A request that never completes is cut off after the request timeout, without an answer.
TEST(LoopbackRedirect, ARequestThatNeverEndsIsCutOff) {
    LoopbackRedirect receiver({.requestTimeout = std::chrono::milliseconds(300)});
    const int fd = connectTo(receiver.port());
    ::send(fd, "GET /tessaro/callback HTTP/1.1\r\n", 32, MSG_NOSIGNAL);
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // closed (the socket's own limit is 10 s)
    ::close(fd);
}

TEST(LoopbackRedirect, ListensOnLoopbackOnlyAndStopsWhenDestroyed) {
    std::uint16_t port = 0;
    {
        LoopbackRedirect receiver;
        port = receiver.port();
        // Bound to 127.0.0.1 alone: not to the any-address (which takes all of 127/8), nor to IPv6.
        EXPECT_EQ(connectTo(port, "127.0.0.2"), -1);
        EXPECT_EQ(connectTo(port, "::1"), -1);
        // A second receiver cannot take the same port, and says so with the system's code.
        try {
            LoopbackRedirect second({.port = port});
            ADD_FAILURE() << "a second receiver listened on a taken port";
        } catch (const SystemError& error) {
            EXPECT_EQ(error.code().value(), EADDRINUSE) << error.what();
        }
    }
    EXPECT_EQ(connectTo(port), -1);
    EXPECT_THROW(LoopbackRedirect({.path = "callback"}), InvalidArgument);
}

// The host's whole path: the client's redirect URL is the receiver's; a callback arriving over
// HTTP wakes a pick whose poll interval is far beyond the test's bound. Of setClient and
// setHandler, the later call wins. A client that is gone takes nothing.
TEST(LoopbackRedirect, CallbacksWakeTheClientsFlow) {
    std::atomic<int> diverted{0};
    LoopbackRedirect receiver;
    Harness h({.pollInterval = 3600, .redirectURL = receiver.redirectURL()});
    receiver.setClient(h.client);
    receiver.setHandler([&](const URL&) { return ++diverted > 0; });
    h.seed("at", 3600, "rt");
    h.routes.on("/api/oauth/requests", {{200, R"({"request_id":"r1","state":"pending"})"}});
    h.routes.on("/api/oauth/requests/r1", {{200, R"({"request_id":"r1","state":"denied"})"}});

    auto pick = launch([&] { h.client->pickItem(); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    const URL opened = *URL::parse(h.switcher->opened()[0]);
    EXPECT_EQ(queryItem(opened, "redirect_uri"), receiver.redirectURL().absoluteString());
    const std::string callback =
        "GET /tessaro/callback?tq=request&state=" + queryItem(opened, "state") + " HTTP/1.1\r\n\r\n";
    exchange(receiver.port(), callback);  // answered once the handler has run
    EXPECT_EQ(diverted, 1);
    receiver.setClient(h.client);
    exchange(receiver.port(), callback);
    EXPECT_EQ(finished(pick), "denied");
    EXPECT_EQ(diverted, 1);

    h.client.reset();
    EXPECT_EQ(statusLine(exchange(receiver.port(), callback)), "HTTP/1.1 200 OK");
}

}  // namespace
}  // namespace tessaro
