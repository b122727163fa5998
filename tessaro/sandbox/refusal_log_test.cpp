// Every refusal reaches the log hook with its reason, and no log line carries a secret of the
// refused call: tokens, codes, verifiers, keys, nonces, signatures or callback query values.

#include <tessaro/sandbox/testing/sandbox_test_support.hpp>

#include <functional>
#include <memory>

namespace tessaro::sandbox::testing {
namespace {

TEST(RefusalLog, EachRefusalNamesItsReasonAndNoSecret) {
    // One log for a sandbox whose callbacks the test captures and one that delivers its own.
    auto log = std::make_shared<Collector>();
    Options options;
    options.log = [log](const std::string& line) { log->add(line); };
    Harness h(options);
    Harness delivering(options, Harness::Delivery::bySandbox);
    const Session s = h.authorize(), other;
    const std::string key(43, 'A'), state = "st_" + tc::randomToken(12), challenge = "ch_" + tc::randomToken(12);
    std::vector<std::string> secrets = {s.accessToken,
                                        s.refreshToken,
                                        s.approval.publicKeyBase64URL(),
                                        s.pkce.verifier,
                                        other.pkce.challenge,
                                        s.seal.publicKeyBase64URL(),
                                        key,
                                        state,
                                        challenge};

    // Each row makes a refused call (adding the secrets it carried) and names the log text expected.
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"POST /api/oauth/token: refused 400 invalid_code_verifier",
         [&] {
             const std::string code = h.codeFor(other), verifier = tc::PKCE().verifier;
             EXPECT_EQ(h.exchange(code, verifier).error(), "invalid_code_verifier");
             secrets.insert(secrets.end(), {code, verifier});
         }},
        {"POST /api/oauth/requests: refused 401 invalid_token",
         [&] {
             Signed r = h.sign(s, "POST", "/api/oauth/requests", Json{{"op", "pick_item"}});
             r.token = "at_" + tc::randomToken(24);
             EXPECT_EQ(h.send(r).error(), "invalid_token");
             secrets.insert(secrets.end(), {r.token, r.nonce, r.signature});
         }},
        {"open tessaro://authorize: refused (missing_client_id): missing client_id, state",
         [&] {
             const Response refused =
                 h.post("/sandbox/open", {{"url", "tessaro://authorize?redirect_uri=" + encode(demoRedirect) +
                                                      "&code_challenge=" + challenge + "&approval_key=" + key}});
             EXPECT_EQ(refused.body.value("message", ""), "missing_client_id: missing client_id, state");
         }},
        {"open tessaro://request: refused (missing_id): missing id, redirect_uri",
         [&] {
             EXPECT_EQ(h.sandbox().open("tessaro://request?client_id=pmc_tessarodemo&state=" + state),
                       (OpenResult{false, "missing_id"}));
         }},
        {"authorize: invalid request from client pmc_tessarodemo (missing seal_key; invalid code_challenge_method "
         "(not S256); invalid code_challenge)",
         [&] {
             EXPECT_TRUE(h.sandbox()
                             .open("tessaro://authorize?client_id=pmc_tessarodemo&redirect_uri=" +
                                   encode(demoRedirect) + "&state=" + state + "&code_challenge=" + challenge +
                                   "&code_challenge_method=plain&approval_key=" + key)
                             .accepted);
             EXPECT_EQ(queryOf(callbackFor(h.callbacks(), state).value_or(""))["error"], "invalid_request");
         }},
        {"with --deliver print",  // port 1 on loopback: nobody listens there
         [&] {
             EXPECT_TRUE(delivering.sandbox().open(h.authorizeURL(other, state, "http://127.0.0.1:1/cb")).accepted);
         }},
    };
    for (const auto& [expected, refuse] : cases) {
        refuse();
        EXPECT_TRUE(log->waitFor(expected).has_value()) << "no log line with: " << expected;
    }
    for (const std::string& line : log->all()) {
        for (const std::string& secret : secrets)
            EXPECT_EQ(line.find(secret), std::string::npos) << "secret " << secret << " in: " << line;
    }
}

}  // namespace
}  // namespace tessaro::sandbox::testing
