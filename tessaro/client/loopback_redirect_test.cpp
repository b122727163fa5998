// The loopback redirect receiver over real sockets: what each request is answered, callbacks that
// wake a waiting flow, slow and malformed clients beside a callback, where it listens, and its end.
#include <tessaro/client/loopback_redirect.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <tessaro/client/testing/client_test_support.hpp>

namespace tessaro {
namespace {

using namespace tessaro::testing::client;

// A TCP connection to 127.0.0.1:port; -1 when refused.
int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    timeval timeout{10, 0};
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

struct Recorder {
    explicit Recorder(LoopbackRedirect& receiver) {
        receiver.setHandler([this](const URL& url) {
            std::lock_guard guard(mutex);
            urls.push_back(url.absoluteString());
            return true;
        });
    }
    std::vector<std::string> all() {
        std::lock_guard guard(mutex);
        return urls;
    }
    std::mutex mutex;
    std::vector<std::string> urls;
};

TEST(LoopbackRedirect, AnswersEachRequestAndHandsOverOnlyGetsOfItsPath) {
    LoopbackRedirect receiver;
    Recorder recorder(receiver);
    const std::string base = "http://127.0.0.1:" + std::to_string(receiver.port());
    EXPECT_EQ(receiver.redirectURL().absoluteString(), base + "/tessaro/callback");

    const std::string big(9000, 'a');
    const struct {
        std::string request;
        std::string status;
        bool handedOver;
    } cases[] = {
        {"GET /tessaro/callback?state=s1&code=c%2F1 HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"GET /tessaro/callback HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", true},
        {"POST /tessaro/callback?state=s1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed",
         false},
        {"GET /other?state=s1 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", false},
        {"GET /tessaro/callbackx HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", false},
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
        {"GET /tessaro/callback HTTP/2\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
        {"GET http://evil.example/tessaro/callback HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
        {"GET /tessaro/callback HTTP/1.1\r\nX-Big: " + big + "\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large",
         false},
    };
    std::size_t expected = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 60));
        const std::string answer = exchange(receiver.port(), c.request);
        EXPECT_EQ(statusLine(answer), c.status);
        expected += c.handedOver;
        EXPECT_EQ(recorder.all().size(), expected);
        if (c.handedOver) EXPECT_NE(answer.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    }
    ASSERT_EQ(recorder.all().size(), 2u);
    EXPECT_EQ(recorder.all()[0], base + "/tessaro/callback?state=s1&code=c%2F1");
}

// Slow clients (a request that never ends, a connection that sends nothing) and a malformed one
// occupy workers, yet a callback arriving after them is handed over at once.
TEST(LoopbackRedirect, SlowAndMalformedClientsDoNotHoldUpACallback) {
    LoopbackRedirect::Options options;
    options.requestTimeout = std::chrono::seconds(5);
    LoopbackRedirect receiver(options);
    Recorder recorder(receiver);
    std::vector<int> slow;
    for (int i = 0; i < 3; ++i) {
        slow.push_back(connectTo(receiver.port()));
        ::send(slow.back(), "GET /tessaro/call", 17, MSG_NOSIGNAL);
    }
    slow.push_back(connectTo(receiver.port()));  // sends nothing
    EXPECT_EQ(statusLine(exchange(receiver.port(), "\x01\x02\r\n\r\n")), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(statusLine(exchange(receiver.port(), "GET /tessaro/callback?state=late HTTP/1.1\r\n\r\n")),
              "HTTP/1.1 200 OK");
    EXPECT_EQ(recorder.all().size(), 1u);
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
    LoopbackRedirect::Options options;
    options.requestTimeout = std::chrono::milliseconds(300);
    LoopbackRedirect receiver(options);
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
        // The listening socket, found among this process's descriptors by its port.
        bool found = false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            const int fd = std::atoi(entry.path().filename().c_str());
            int listening = 0;
            socklen_t length = sizeof listening;
            sockaddr_storage address{};
            socklen_t addressLength = sizeof address;
            if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening ||
                getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0) {
                continue;
            }
            if (address.ss_family == AF_INET) {
                const auto& inet = reinterpret_cast<const sockaddr_in&>(address);
                if (ntohs(inet.sin_port) != port) continue;
                EXPECT_EQ(ntohl(inet.sin_addr.s_addr), INADDR_LOOPBACK);
                found = true;
            } else if (address.ss_family == AF_INET6) {
                EXPECT_NE(ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port), port) << "listens on IPv6";
            }
        }
        EXPECT_TRUE(found);
        // A second receiver cannot take the same port.
        LoopbackRedirect::Options same;
        same.port = port;
        EXPECT_THROW(LoopbackRedirect{same}, std::runtime_error);
    }
    EXPECT_EQ(connectTo(port), -1);
    LoopbackRedirect::Options badPath;
    badPath.path = "callback";
    EXPECT_THROW(LoopbackRedirect{badPath}, std::runtime_error);
}

// The host's whole path: the client's redirect URL is the receiver's; a callback arriving over
// HTTP wakes a pick whose poll interval is far beyond the test's bound. A client that is gone
// takes nothing.
TEST(LoopbackRedirect, CallbacksWakeTheClientsFlow) {
    LoopbackRedirect receiver;
    Harness h(30, false, nullptr, 3600, receiver.redirectURL());
    receiver.setClient(h.client);
    h.seed("at", 3600, "rt");
    h.routes.on("/api/oauth/requests", {{200, R"({"request_id":"r1","state":"pending"})"}});
    h.routes.on("/api/oauth/requests/r1", {{200, R"({"request_id":"r1","state":"denied"})"}});

    auto pick = launch([&] { h.client->pickItem(); });
    ASSERT_TRUE(h.switcher->waitForOpens(1));
    const URL opened = *URL::parse(h.switcher->opened()[0]);
    EXPECT_EQ(queryItem(opened, "redirect_uri"), receiver.redirectURL().absoluteString());
    const std::string callback =
        "GET /tessaro/callback?tq=request&state=" + queryItem(opened, "state") + " HTTP/1.1\r\n\r\n";
    exchange(receiver.port(), callback);
    EXPECT_EQ(finished(pick), "denied");

    h.client.reset();
    EXPECT_EQ(statusLine(exchange(receiver.port(), callback)), "HTTP/1.1 200 OK");
}

}  // namespace
}  // namespace tessaro
