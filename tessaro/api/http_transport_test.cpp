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
#include <map>
#include <set>
#include <thread>

#include <tessaro/api/internal/loopback.hpp>
#include <testing/child_process.hpp>
#include <tessaro/api/testing/test_server.hpp>
#include <tessaro/api/testing/test_tls.hpp>
#include <tessaro/records/tessaro_error.hpp>

namespace tessaro {
namespace {

using testing::RawServer;
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
    HTTPRequest put{"PUT",
                    *URL::parse(server.origin() + "/p"),
                    {{"Content-Type", "application/json"}},
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
    for (const auto& request : refused)
        networkError([&] { transport.send(request, {}); });
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
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(transport.send(get(server.origin() + "/r"), {}).status, 200);
    std::set<int> ports;
    for (const auto& request : server.requests())
        ports.insert(request.remotePort);
    EXPECT_EQ(ports.size(), 1u) << "each request opened a new connection";

    // A new transport has its own connections.
    CurlTransport other;
    ASSERT_EQ(other.send(get(server.origin() + "/r"), {}).status, 200);
    EXPECT_EQ(ports.count(server.last().remotePort), 0u);
}

// libcurl re-sends a request by itself when its reused connection closes before any answer byte.
// A token request presented twice ends the grant, so nothing but GET may ride a reused connection.
TEST(CurlTransport, RequestsOtherThanGetAreNeverSentTwice) {
    // Answers the first request of each connection and closes on the next one without answering.
    RawServer server([](const RawServer::Request& request) -> std::optional<std::string> {
        if (request.index > 1) return std::nullopt;
        return RawServer::answer(200, "{}");
    });
    CurlTransport transport;
    ASSERT_EQ(transport.send(get(server.origin() + "/warm"), {}).status, 200);
    const std::string body = R"({"grant_type":"refresh_token","refresh_token":"rt"})";
    HTTPRequest token{"POST", *URL::parse(server.origin() + "/api/oauth/token"), {}, Bytes(body.begin(), body.end())};
    HTTPRequest patch{"PUT", *URL::parse(server.origin() + "/api/oauth/requests/r/patch"), {}, Bytes{}};
    EXPECT_EQ(transport.send(token, {}).status, 200);
    EXPECT_EQ(transport.send(patch, {}).status, 200);
    std::map<std::string, int> seen;
    for (const auto& request : server.requests())
        ++seen[request.requestLine];
    EXPECT_EQ(seen["POST /api/oauth/token HTTP/1.1"], 1);
    EXPECT_EQ(seen["PUT /api/oauth/requests/r/patch HTTP/1.1"], 1);

    // A server that never answers sees the token request once, and the caller a network failure.
    RawServer closing([](const RawServer::Request&) { return std::optional<std::string>(); });
    networkError([&] {
        transport.send(HTTPRequest{token.method, *URL::parse(closing.origin() + "/api/oauth/token"), {}, token.body},
                       {});
    });
    EXPECT_EQ(closing.requests().size(), 1u);
}

TEST(CurlTransport, SendsThePathExactlyAsWritten) {
    TestServer server;
    CurlTransport transport;
    for (const std::string path : {"/api/oauth/requests/../account", "/a/./b/../../revoke", "/x/%2e%2e/y"}) {
        ASSERT_EQ(transport.send(get(server.origin() + path), {}).status, 200);
        EXPECT_EQ(server.last().target, path);
    }
}

TEST(CurlTransport, TimeoutAndOversizedAnswersFailAsNetwork) {
    testing::SilentServer silent;
    HTTPRequest slow = get(silent.origin() + "/slow");
    slow.timeout = 300ms;
    const auto started = std::chrono::steady_clock::now();
    CurlTransport once;
    const auto timedOut = networkError([&] { once.send(slow, {}); });
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_NE(timedOut.underlyingDescription().find("timed out"), std::string::npos)
        << timedOut.underlyingDescription();
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 30s);  // far below the 60 s default: the request's own timeout applied

    TestServer server;
    CurlTransport transport;
    server.respond(200, std::string(CurlTransport::maxResponseBytes, 'x'), "text/plain");
    EXPECT_EQ(transport.send(get(server.origin() + "/full"), {}).body.size(), CurlTransport::maxResponseBytes);
    server.respond(200, std::string(CurlTransport::maxResponseBytes + 1, 'x'), "text/plain");
    const auto tooLarge = networkError([&] { transport.send(get(server.origin() + "/over"), {}); });
    EXPECT_NE(tooLarge.underlyingDescription().find("larger than"), std::string::npos);
}

CurlTransport::Options trusting(const testing::TestCertificates& certificates, std::string proxy = {}) {
    CurlTransport::Options options;
    options.caBundleFile = certificates.caFile();
    options.proxy = std::move(proxy);
    return options;
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
    char pattern[] = "/tmp/tessaro-certs-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 11;
    const fs::path dir = pattern;
    char hashed[32];
    std::snprintf(hashed, sizeof hashed, "%08lx.0", X509_subject_name_hash(serverCA.caCertificate()));
    fs::copy_file(unrelated.caFile(), dir / "ca-certificates.crt");
    fs::copy_file(serverCA.caFile(), dir / hashed);
    if (::mount(dir.c_str(), "/etc/ssl/certs", nullptr, MS_BIND, nullptr) != 0) {
        std::perror("bind mount over /etc/ssl/certs");
        return 12;
    }
    const testing::TLSServer server(serverCA);
    const HTTPRequest request = get(server.origin("localhost") + "/x");
    int failures = 0;
    try {
        // No bundle: the system's store, whose directory reaches the server's CA.
        CurlTransport system;
        failures += system.send(request, {}).status != 200;
    } catch (const TessaroError& error) {
        std::cerr << "the system store refused the server: " << error.underlyingDescription() << "\n";
        ++failures;
    }
    try {
        // A bundle of the unrelated CA: that CA alone, the system's directory included in nothing.
        CurlTransport::Options options;
        options.caBundleFile = unrelated.caFile();
        CurlTransport bundle(options);
        bundle.send(request, {});
        std::cerr << "a bundle of another CA still accepted the server\n";
        ++failures;
    } catch (const TessaroError&) {}
    ::umount(std::string("/etc/ssl/certs").c_str());
    fs::remove_all(dir);
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
    const testing::TLSServer server(certificates);
    CurlTransport system;
    networkError([&] { system.send(get(server.origin("localhost") + "/x"), {}); });

    CurlTransport privateCA(trusting(certificates));
    EXPECT_EQ(privateCA.send(get(server.origin("localhost") + "/x"), {}).status, 200);
    // The certificate names localhost and tessaro.localhost, not the address.
    const auto mismatch = networkError([&] { privateCA.send(get(server.origin("127.0.0.1") + "/x"), {}); });
    EXPECT_NE(mismatch.underlyingDescription().find("127.0.0.1"), std::string::npos)
        << mismatch.underlyingDescription();
    CurlTransport::Options missing;
    missing.caBundleFile = "/nonexistent/tessaro-ca.pem";
    CurlTransport missingFile(missing);
    networkError([&] { missingFile.send(get(server.origin("localhost") + "/x"), {}); });
}

// Sets environment variables for one test and restores them afterwards.
class EnvironmentGuard {
public:
    explicit EnvironmentGuard(const std::map<std::string, std::string>& values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            saved_.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~EnvironmentGuard() {
        for (const auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(CurlTransport, ProxiesComeOnlyFromTheOptionsAndNeverCarryLoopbackRequests) {
    RawServer proxy([](const RawServer::Request&) {
        return std::optional<std::string>("HTTP/1.1 403 No\r\nContent-Length: 0\r\n\r\n");
    });
    const testing::TestCertificates certificates;
    const testing::TLSServer tls(certificates);
    TestServer plain;
    const EnvironmentGuard environment({{"http_proxy", proxy.origin()},
                                        {"HTTPS_PROXY", proxy.origin()},
                                        {"https_proxy", proxy.origin()},
                                        {"ALL_PROXY", proxy.origin()},
                                        {"all_proxy", proxy.origin()},
                                        {"NO_PROXY", ""}});
    CurlTransport transport(trusting(certificates));
    EXPECT_EQ(transport.send(get(plain.origin() + "/x"), {}).status, 200);
    // Not a loopback name to the kit, so https and proxy rules apply; libcurl itself resolves
    // *.localhost to loopback without asking DNS.
    EXPECT_EQ(transport.send(get(tls.origin("tessaro.localhost") + "/x"), {}).status, 200);
    EXPECT_TRUE(proxy.requests().empty()) << proxy.requests().front().requestLine;

    CurlTransport proxied(trusting(certificates, proxy.origin()));
    networkError([&] { proxied.send(get("https://tessaro.example/api/oauth/account"), {}); });
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.requests().front().requestLine, "CONNECT tessaro.example:443 HTTP/1.1");
    EXPECT_EQ(proxied.send(get(plain.origin() + "/y"), {}).status, 200);
    EXPECT_EQ(proxy.requests().size(), 1u);
}

}  // namespace
}  // namespace tessaro
