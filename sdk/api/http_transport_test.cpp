#include "api/http_transport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "api/test_server.hpp"
#include "records/tessaro_error.hpp"

namespace tessaro {
namespace {

using testing::TestServer;

HTTPRequest get(const std::string& url) {
    return HTTPRequest{"GET", *URL::parse(url), {}, std::nullopt};
}

// Runs `send` and returns the network TessaroError it throws; fails the test on any other outcome.
template <typename F>
TessaroError networkError(F&& send) {
    const auto error = testing::thrown<TessaroError>(send, TessaroError::cancelled());
    EXPECT_EQ(error.code(), TessaroError::Code::network);
    return error;
}

TEST(LoopbackHost, AcceptsOnlyLoopbackNames) {
    for (const char* host : {"localhost", "LOCALHOST", "127.0.0.1", "127.255.255.254", "127.1.2.3", "[::1]", "::1",
                             "[0:0:0:0:0:0:0:1]"}) {
        EXPECT_TRUE(detail::isLoopbackHost(host)) << host;
    }
    for (const char* host : {"", "localhost.example", "example.localhost", "128.0.0.1", "126.255.255.255",
                             "0.0.0.0", "192.0.2.1", "[::2]", "[::ffff:127.0.0.1]", "127.1", "0x7f.0.0.1",
                             "127.0.0.1.nip.io", "[::1]x", "10.0.0.1"}) {
        EXPECT_FALSE(detail::isLoopbackHost(host)) << host;
    }
}

TEST(CurlTransport, GetReturnsStatusHeadersAndBodyByAddressOrLocalhost) {
    TestServer server;
    server.respond([](const httplib::Request&, httplib::Response& response) {
        response.status = 203;
        response.set_header("X-Answer", "42");
        response.set_content("hello", "text/plain");
    });
    CurlTransport transport;
    const HTTPResponse response = transport.send(get(server.origin() + "/a/b?q=1"), {});
    EXPECT_EQ(response.status, 203);
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()), "hello");
    EXPECT_EQ(response.header("x-answer"), "42");
    EXPECT_EQ(response.header("missing"), std::nullopt);
    const auto seen = server.last();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.target, "/a/b?q=1");
    EXPECT_TRUE(seen.body.empty());
    EXPECT_FALSE(seen.has("Content-Type"));
    EXPECT_FALSE(seen.has("Content-Length"));
    EXPECT_EQ(transport.send(get("http://localhost:" + std::to_string(server.port()) + "/x"), {}).status, 203);
}

TEST(CurlTransport, SendsBodyMethodAndHeadersExactly) {
    TestServer server;
    CurlTransport transport;
    const std::string body = "{\"a\":\"x/y\"}";
    HTTPRequest put{"PUT", *URL::parse(server.origin() + "/p"), {{"Content-Type", "application/json"}},
                    Bytes(body.begin(), body.end())};
    EXPECT_EQ(transport.send(put, {}).status, 200);
    const auto seen = server.last();
    EXPECT_EQ(seen.method, "PUT");
    EXPECT_EQ(seen.body, body);
    EXPECT_EQ(seen.header("Content-Type"), "application/json");
    EXPECT_FALSE(seen.has("Expect"));

    // A body without a Content-Type gets none (not libcurl's form-encoding default); an empty
    // body is still a body.
    HTTPRequest post{"POST", *URL::parse(server.origin() + "/q"), {}, Bytes{}};
    EXPECT_EQ(transport.send(post, {}).status, 200);
    const auto empty = server.last();
    EXPECT_EQ(empty.method, "POST");
    EXPECT_FALSE(empty.has("Content-Type"));
    EXPECT_EQ(empty.header("Content-Length"), "0");
}

TEST(CurlTransport, RefusesPlainHttpToOtherHostsBeforeConnecting) {
    CurlTransport transport;
    // A reserved documentation address: a connection attempt would hang until the timeout
    // instead of failing at once with this description.
    const auto error = networkError([&] { transport.send(get("http://192.0.2.1/api/oauth/token"), {}); });
    EXPECT_NE(error.underlyingDescription().find("plain http"), std::string::npos) << error.underlyingDescription();
    EXPECT_NE(error.underlyingDescription().find("192.0.2.1"), std::string::npos);
    EXPECT_EQ(std::string(error.what()).rfind("网络错误：", 0), 0u);

    const auto scheme = networkError([&] { transport.send(get("ftp://127.0.0.1/file"), {}); });
    EXPECT_NE(scheme.underlyingDescription().find("ftp"), std::string::npos);
}

// Header injection, a malformed method and an already stopped token fail before anything is sent.
TEST(CurlTransport, RefusesBeforeSending) {
    TestServer server;
    CurlTransport transport;
    std::stop_source stopped;
    stopped.request_stop();
    const HTTPRequest valid = get(server.origin() + "/x");
    std::vector<HTTPRequest> refused(3, valid);
    refused[0].headers = {{"Authorization", "Bearer a\r\nX-Injected: 1"}};
    refused[1].headers = {{"Bad Name", "v"}};
    refused[2].method = "GE T";
    for (const auto& request : refused) networkError([&] { transport.send(request, {}); });
    networkError([&] { transport.send(valid, stopped.get_token()); });
    EXPECT_TRUE(server.requests().empty());
}

TEST(CurlTransport, NeverFollowsRedirects) {
    TestServer server;
    server.respond([](const httplib::Request&, httplib::Response& response) {
        response.status = 302;
        response.set_header("Location", "/elsewhere");
    });
    CurlTransport transport;
    const HTTPResponse response = transport.send(get(server.origin() + "/start"), {});
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.header("Location"), "/elsewhere");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(CurlTransport, ReusesConnectionsBetweenSequentialRequests) {
    TestServer server;
    CurlTransport transport;
    for (int i = 0; i < 6; ++i) ASSERT_EQ(transport.send(get(server.origin() + "/r"), {}).status, 200);
    std::set<int> ports;
    for (const auto& request : server.requests()) ports.insert(request.remotePort);
    EXPECT_EQ(ports.size(), 1u) << "each request opened a new connection";

    // A new transport has its own connections.
    CurlTransport other;
    ASSERT_EQ(other.send(get(server.origin() + "/r"), {}).status, 200);
    EXPECT_EQ(ports.count(server.last().remotePort), 0u);
}

}  // namespace
}  // namespace tessaro
