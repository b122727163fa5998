// Every refusal reaches the log hook with its reason, and no log line carries a secret of the
// refused call: tokens, codes, verifiers, keys, nonces, signatures or callback query values.

#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

#include <functional>
#include <memory>
#include <utility>

namespace tessaro::sandbox::testing {
namespace {

std::string launchKey() { return std::string(43, 'A'); }

TEST(RefusalLog, EachRefusalNamesItsReasonAndNoSecret) {
    // One log for a sandbox whose callbacks the test captures and one that delivers its own.
    auto log = std::make_shared<Collector>();
    Options options;
    options.log = [log](const std::string& line) { log->add(line); };
    Harness h(options);
    Harness delivering(options, Harness::Delivery::bySandbox);
    std::string closedRedirect;
    {
        LoopbackHost gone;
        closedRedirect = gone.redirect();
    }
    const Session s = h.authorize();
    std::vector<std::string> secrets = {
        s.accessToken,   s.refreshToken,  s.approval.publicKeyBase64URL(), s.seal.publicKeyBase64URL(),
        s.pkce.verifier, s.pkce.challenge};

    struct Case {
        const char* name;
        // Makes the refused call; returns the log text expected and the secrets it carried.
        std::function<std::pair<std::string, std::vector<std::string>>()> refuse;
    };
    const std::vector<Case> cases = {
        {"code with another verifier",
         [&] {
             const Session other;
             const std::string code = h.codeFor(other);
             const std::string verifier = tc::PKCE().verifier;
             EXPECT_EQ(h.exchange(code, verifier).error(), "invalid_code_verifier");
             return std::pair{std::string("POST /api/oauth/token: refused 400 invalid_code_verifier"),
                              std::vector{code, verifier, other.pkce.challenge}};
         }},
        {"unknown refresh token",
         [&] {
             const std::string token = "rt_" + tc::randomToken(24);
             EXPECT_EQ(h.refresh(token).error(), "invalid_refresh_token");
             return std::pair{std::string("POST /api/oauth/token: refused 400 invalid_refresh_token"),
                              std::vector{token}};
         }},
        {"nonce changed after signing",
         [&] {
             Signed r = h.sign(s, "GET", "/api/oauth/account");
             const std::string signedNonce = r.nonce;
             r.nonce = tc::randomToken(18);
             EXPECT_EQ(h.send(r).error(), "invalid_signature");
             return std::pair{std::string("GET /api/oauth/account: refused 401 invalid_signature"),
                              std::vector{r.nonce, signedNonce, r.signature}};
         }},
        {"unknown bearer token",
         [&] {
             Signed r = h.sign(s, "POST", "/api/oauth/requests", Json{{"op", "pick_item"}});
             r.token = "at_" + tc::randomToken(24);
             EXPECT_EQ(h.send(r).error(), "invalid_token");
             return std::pair{std::string("POST /api/oauth/requests: refused 401 invalid_token"),
                              std::vector{r.token, r.nonce, r.signature}};
         }},
        {"authorize URL without client_id and state, over HTTP",
         [&] {
             const Response refused =
                 h.post("/sandbox/open",
                        {{"url", "tessaro://authorize?redirect_uri=" + encode(demoRedirect) +
                                     "&code_challenge=" + s.pkce.challenge + "&approval_key=" + launchKey()}});
             EXPECT_EQ(refused.error(), "missing_client_id");
             EXPECT_EQ(refused.body.value("message", ""), "missing_client_id: missing client_id, state");
             return std::pair{
                 std::string("open tessaro://authorize: refused (missing_client_id): missing client_id, state"),
                 std::vector{launchKey()}};
         }},
        {"request URL without id and redirect_uri",
         [&] {
             const std::string state = "st_" + tc::randomToken(12);
             EXPECT_EQ(h.sandbox().open("tessaro://request?client_id=pmc_tessarodemo&state=" + state),
                       (OpenResult{false, "missing_id"}));
             return std::pair{std::string("open tessaro://request: refused (missing_id): missing id, redirect_uri"),
                              std::vector{state}};
         }},
        {"authorize URL with a plain challenge and no seal key",
         [&] {
             const std::string state = "st_" + tc::randomToken(12);
             const std::string challenge = "ch_" + tc::randomToken(12);
             EXPECT_TRUE(h.sandbox()
                             .open("tessaro://authorize?client_id=pmc_tessarodemo&redirect_uri=" +
                                   encode(demoRedirect) + "&state=" + state + "&code_challenge=" + challenge +
                                   "&code_challenge_method=plain&approval_key=" + launchKey())
                             .accepted);
             EXPECT_EQ(queryOf(callbackFor(h.callbacks(), state).value_or(""))["error"], "invalid_request");
             return std::pair{std::string("authorize: invalid request from client pmc_tessarodemo (missing seal_key; "
                                          "invalid code_challenge_method (not S256); invalid code_challenge)"),
                              std::vector{state, challenge}};
         }},
        {"callback to a loopback port nobody listens on",
         [&] {
             const std::string state = "st_" + tc::randomToken(12);
             const Session other;
             EXPECT_TRUE(delivering.sandbox().open(h.authorizeURL(other, state, closedRedirect)).accepted);
             return std::pair{std::string("with --deliver print"), std::vector{state, other.pkce.challenge}};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto [expected, carried] = c.refuse();
        secrets.insert(secrets.end(), carried.begin(), carried.end());
        EXPECT_TRUE(log->waitFor(expected).has_value()) << "no log line with: " << expected;
    }
    for (const std::string& line : log->all()) {
        for (const std::string& secret : secrets) {
            EXPECT_EQ(line.find(secret), std::string::npos) << "secret " << secret << " in: " << line;
        }
    }
}

}  // namespace
}  // namespace tessaro::sandbox::testing
