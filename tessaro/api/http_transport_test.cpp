#include <tessaro/api/http_transport.hpp>

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>

#include <tessaro/api/internal/loopback.hpp>
#include <testing/child_process.hpp>
#include <testing/temporary_directory.hpp>
#include <tessaro/api/testing/test_server.hpp>
#include <tessaro/api/testing/test_tls.hpp>
#include <tessaro/records/tessaro_error.hpp>

namespace tessaro {
namespace {

using testing::TestServer;
using namespace std::chrono_literals;

HTTPRequest get(const std::string& url) { return HTTPRequest{"GET", *URL::parse(url), {}, std::nullopt}; }

// Runs `send` and returns the network TessaroError it throws; fails the test on any other outcome.
template <typename F>
TessaroError networkError(F&& send) {
    const auto error = testing::thrown<TessaroError>(send, TessaroError::cancelled());
    EXPECT_EQ(error.code(), TessaroError::Code::network);
    return error;
}

TEST(LoopbackHost, AcceptsOnlyLoopbackNames) {
    for (const char* host :
         {"localhost", "LOCALHOST", "127.0.0.1", "127.255.255.254", "127.1.2.3", "[::1]", "::1", "[0:0:0:0:0:0:0:1]"}) {
        EXPECT_TRUE(detail::isLoopbackHost(host)) << host;
    }
    for (const char* host :
         {"", "localhost.example", "example.localhost", "128.0.0.1", "126.255.255.255", "0.0.0.0", "192.0.2.1", "[::2]",
          "[::ffff:127.0.0.1]", "127.1", "0x7f.0.0.1", "127.0.0.1.nip.io", "[::1]x", "10.0.0.1"}) {
        EXPECT_FALSE(detail::isLoopbackHost(host)) << host;
    }
}

// What arrives is what was asked (the path as written, a body's Content-Type only when given, no
// Expect), and what comes back is the answer as sent: a redirect is not followed.
TEST(CurlTransport, SendsRequestsExactlyAndReturnsAnswersAsSent) {
    TestServer server;
    server.respond([](const httplib::Request&, httplib::Response& response) {
        response.status = 302;
        response.set_header("Location", "/elsewhere");
        response.set_content("hello", "text/plain");
    });
    const std::string o = server.origin(), json = R"({"a":"x/y"})";
    struct Case {
        HTTPRequest request;
        std::string target, contentType, contentLength;
    };
    const std::vector<Case> cases = {
        {get(o + "/a/b?q=1"), "/a/b?q=1", "", ""},
        {get(o + "/a/./b/../../revoke"), "/a/./b/../../revoke", "", ""},
        {get(o + "/x/%2e%2e/y"), "/x/%2e%2e/y", "", ""},
        {{"PUT", *URL::parse(o + "/p"), {{"Content-Type", "application/json"}}, Bytes(json.begin(), json.end())},
         "/p",
         "application/json",
         std::to_string(json.size())},
        // Not libcurl's form-encoding default; an empty body is still a body.
        {{"POST", *URL::parse(o + "/q"), {}, Bytes{}}, "/q", "", "0"},
    };
    CurlTransport transport;
    for (const auto& c : cases) {
        const HTTPResponse response = transport.send(c.request, {});
        EXPECT_EQ(response.status, 302);
        EXPECT_EQ(response.header("location"), "/elsewhere");
        EXPECT_EQ(response.header("missing"), std::nullopt);
        EXPECT_EQ(std::string(response.body.begin(), response.body.end()), "hello");
        const auto seen = server.last();
        EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(&c - cases.data() + 1));
        EXPECT_EQ(seen.method, c.request.method);
        EXPECT_EQ(seen.target, c.target);
        const Bytes body = c.request.body.value_or(Bytes{});
        EXPECT_EQ(seen.body, std::string(body.begin(), body.end()));
        EXPECT_EQ(seen.header("Content-Type"), c.contentType);
        EXPECT_EQ(seen.header("Content-Length"), c.contentLength);
        EXPECT_FALSE(seen.has("Expect"));
    }
}

// Plain http to other hosts (a connection to the reserved documentation address would hang until
// the timeout instead), other schemes, header injection, a malformed method and an already stopped
// token fail as network before anything is sent.
TEST(CurlTransport, RefusesBeforeSending) {
    TestServer server;
    std::stop_source stopped;
    stopped.request_stop();
    const HTTPRequest valid = get(server.origin() + "/x");
    HTTPRequest injected = valid, badName = valid, badMethod = valid;
    injected.headers = {{"Authorization", "Bearer a\r\nX-Injected: 1"}};
    badName.headers = {{"Bad Name", "v"}};
    badMethod.method = "GE T";
    const std::vector<std::tuple<HTTPRequest, std::stop_token, std::string>> cases = {
        {get("http://192.0.2.1/api/oauth/token"), {}, "plain http"},
        {get("ftp://127.0.0.1/file"), {}, "ftp"},
        {injected, {}, ""},
        {badName, {}, ""},
        {badMethod, {}, ""},
        {valid, stopped.get_token(), ""},
    };
    CurlTransport transport;
    for (const auto& [request, stop, description] : cases) {
        const auto error = networkError([&] { transport.send(request, stop); });
        EXPECT_NE(error.underlyingDescription().find(description), std::string::npos) << error.underlyingDescription();
    }
    EXPECT_TRUE(server.requests().empty());
}

// libcurl re-sends by itself a request whose reused connection closed before any answer byte; a
// token request presented twice ends the grant. So GET reuses its transport's idle connection, and
// nothing else, even with an empty body, takes one. A new transport has connections of its own.
TEST(CurlTransport, RequestsOtherThanGetAreNeverSentTwice) {
    TestServer server;
    CurlTransport transport, other;
    const URL url = *URL::parse(server.origin() + "/api/oauth/token");
    for (const auto& request : {get(url.absoluteString()), get(url.absoluteString()),
                                HTTPRequest{"POST", url, {}, Bytes{}}, HTTPRequest{"PUT", url, {}, Bytes{'{', '}'}}})
        ASSERT_EQ(transport.send(request, {}).status, 200);
    ASSERT_EQ(other.send(get(url.absoluteString()), {}).status, 200);
    std::set<int> ports;
    std::vector<bool> fresh;
    for (const auto& request : server.requests())
        fresh.push_back(ports.insert(request.remotePort).second);
    EXPECT_EQ(fresh, (std::vector<bool>{true, false, true, true, true}));
}

TEST(CurlTransport, TimeoutAndOversizedAnswersFailAsNetwork) {
    testing::SilentServer silent;
    HTTPRequest slow = get(silent.origin() + "/slow");
    slow.timeout = 300ms;
    // Stops the transfer should the request's own timeout be ignored (the 60 s default applied).
    std::stop_source fallback;
    std::jthread stopper([&](std::stop_token ending) {
        for (int i = 0; i < 300 && !ending.stop_requested(); ++i)
            std::this_thread::sleep_for(100ms);
        fallback.request_stop();
    });
    CurlTransport transport;
    const auto timedOut = networkError([&] { transport.send(slow, fallback.get_token()); });
    EXPECT_NE(timedOut.underlyingDescription().find("timed out"), std::string::npos)
        << timedOut.underlyingDescription();

    TestServer server;
    server.respond(200, std::string(CurlTransport::maxResponseBytes, 'x'), "text/plain");
    EXPECT_EQ(transport.send(get(server.origin() + "/full"), {}).body.size(), CurlTransport::maxResponseBytes);
    server.respond(200, std::string(CurlTransport::maxResponseBytes + 1, 'x'), "text/plain");
    const auto tooLarge = networkError([&] { transport.send(get(server.origin() + "/over"), {}); });
    EXPECT_NE(tooLarge.underlyingDescription().find("larger than"), std::string::npos);
}

// In a mount namespace of its own, where libcurl's compiled-in locations (the bundle
// /etc/ssl/certs/ca-certificates.crt and the directory /etc/ssl/certs) hold an unrelated CA in the
// bundle and the server's CA only under its hashed name, as `openssl rehash` names it. Nothing
// outside this process changes.
int systemStoreChild() {
    namespace fs = std::filesystem;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("a mount namespace of its own");
        return 10;
    }
    const testing::TestCertificates unrelated("Tessaro Unrelated CA"), serverCA("Tessaro Server CA");
    const testing::TemporaryDirectory temporary("tessaro-certs-");
    const fs::path& dir = temporary.path();
    char hashed[32];
    std::snprintf(hashed, sizeof hashed, "%08lx.0", X509_subject_name_hash(serverCA.caCertificate()));
    fs::copy_file(unrelated.caFile(), dir / "ca-certificates.crt");
    fs::copy_file(serverCA.caFile(), dir / hashed);
    if (::mount(dir.c_str(), "/etc/ssl/certs", nullptr, MS_BIND, nullptr) != 0) {
        std::perror("bind mount over /etc/ssl/certs");
        return 12;
    }
    const TestServer server(serverCA.server());
    const auto status = [request = get(server.origin("localhost") + "/x")](CurlTransport::Options options) {
        try {
            return CurlTransport(options).send(request, {}).status;
        } catch (const TessaroError& error) {
            std::cerr << error.underlyingDescription() << "\n";
            return -1;
        }
    };
    // No bundle: the system's store, whose directory reaches the server's CA. A bundle of the
    // unrelated CA: that CA alone, the system's directory included in nothing.
    const int failures = (status({}) != 200) + (status({.caBundleFile = unrelated.caFile()}) != -1);
    ::umount("/etc/ssl/certs");  // before the directory under it is removed
    return failures;
}
const int systemStoreChildHook = testing::runChildMode("system-store", systemStoreChild);

TEST(CurlTransport, ABundleReplacesTheSystemStore) {
    if (::getuid() != 0) {
        GTEST_SKIP() << "needs root: it mounts over /etc/ssl/certs in a mount namespace of its own";
    }
    EXPECT_EQ(testing::runSelf("system-store"), 0);
}

TEST(CurlTransport, VerifiesCertificatesAgainstTheSystemStoreOrAGivenAuthority) {
    const testing::TestCertificates certificates;
    const TestServer server(certificates.server());
    CurlTransport system;
    networkError([&] { system.send(get(server.origin("localhost") + "/x"), {}); });

    CurlTransport privateCA({.caBundleFile = certificates.caFile()});
    EXPECT_EQ(privateCA.send(get(server.origin("localhost") + "/x"), {}).status, 200);
    // The certificate names localhost and tessaro.localhost, not the address.
    networkError([&] { privateCA.send(get(server.origin("127.0.0.1") + "/x"), {}); });
    CurlTransport missingFile({.caBundleFile = "/nonexistent/tessaro-ca.pem"});
    networkError([&] { missingFile.send(get(server.origin("localhost") + "/x"), {}); });
}

// Points libcurl's proxy variables at `proxy` for one test; unsets them afterwards.
struct ProxyEnvironment {
    static constexpr const char* names[] = {"NO_PROXY",    "http_proxy", "HTTPS_PROXY",
                                            "https_proxy", "ALL_PROXY",  "all_proxy"};
    explicit ProxyEnvironment(const std::string& proxy) {
        for (const char* name : names)
            setenv(name, name == names[0] ? "" : proxy.c_str(), 1);
    }
    ~ProxyEnvironment() {
        for (const char* name : names)
            unsetenv(name);
    }
};

TEST(CurlTransport, ProxiesComeOnlyFromTheOptionsAndNeverCarryLoopbackRequests) {
    TestServer proxy;  // refuses every CONNECT
    const testing::TestCertificates certificates;
    const TestServer tls(certificates.server());
    TestServer plain;
    const ProxyEnvironment environment(proxy.origin());
    CurlTransport transport({.caBundleFile = certificates.caFile()});
    EXPECT_EQ(transport.send(get(plain.origin() + "/x"), {}).status, 200);
    // Not a loopback name to the kit, so https and proxy rules apply; libcurl itself resolves
    // *.localhost to loopback without asking DNS.
    EXPECT_EQ(transport.send(get(tls.origin("tessaro.localhost") + "/x"), {}).status, 200);
    EXPECT_TRUE(proxy.requests().empty()) << proxy.last().target;

    CurlTransport proxied({.proxy = proxy.origin(), .caBundleFile = certificates.caFile()});
    networkError([&] { proxied.send(get("https://tessaro.example/api/oauth/account"), {}); });
    EXPECT_EQ(proxied.send(get(plain.origin() + "/y"), {}).status, 200);
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.last().method + " " + proxy.last().target, "CONNECT tessaro.example:443");
}

}  // namespace
}  // namespace tessaro
