// The failures a host can provoke through the public API, each caught twice: once as
// tessaro::Exception (checked by family and case) and once as std::exception. Across the shared
// library's boundary this is what proves the exception classes' type information is exported.
#include "failures.hpp"

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/client/loopback_redirect.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/records/exception.hpp>
#include <tessaro/records/records.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/stores/memory_store.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>

namespace {

using namespace tessaro;

TessaroConfiguration configuration(const char* origin) {
    return {"pmc_consumer", *URL::parse("com.example.consumer:/oauth/callback"), *URL::parse(origin),
            TessaroError::defaultDownloadURL()};
}

void bytes(TessaroSecretStore& store, const std::string& key, const std::string& value) {
    store.write(key, std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
}

struct Failure {
    const char* what;
    const char* family;
    const char* caseName;
    std::function<void()> provoke;
};

const Failure failures[] = {
    {"a negative poll interval", "InvalidArgument", "invalidArgument",
     [] {
         TessaroClient::Options options;
         options.store = std::make_shared<TessaroMemoryStore>();
         options.pollInterval = -1;
         TessaroClient::create(configuration("https://tessaro.example"), options);
     }},
    // Port 1 on loopback: refused at once, nothing leaves the machine.
    {"an unreachable server", "TessaroError", "network",
     [] {
         TessaroAPI::create(*URL::parse("https://127.0.0.1:1"), "pmc_consumer",
                            *URL::parse("com.example.consumer:/oauth/callback"))
             ->exchangeCode("code", "verifier");
     }},
    // A session bus that is not there: the desktop store's first call fails.
    {"no Secret Service", "KeychainError", nullptr,
     [] {
         setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tessaro-consumer-bus", 1);
         TessaroKeychain("pmc_consumer").read("grant_id");
     }},
    {"a stored key of the wrong length", "CryptoError", "invalidKey",
     [] {
         TessaroClient::Options options;
         options.store = std::make_shared<TessaroMemoryStore>();
         bytes(*options.store, "approval_seed", "short");
         bytes(*options.store, "seal_private_key", std::string(32, 'k'));
         bytes(*options.store, "grant_id", "grant");
         TessaroClient::create(configuration("https://127.0.0.1:1"), options)->getItem("item", "vault");
     }},
    {"a loopback receiver on a port that is taken", "SystemError", "system",
     [] {
         const LoopbackRedirect first;
         LoopbackRedirect::Options options;
         options.port = first.port();
         const LoopbackRedirect second(options);
     }},
    {"a record's JSON form with a wrong type", "DecodingError", "decoding",
     [] { (void)nlohmann::json::parse(R"({"vault_id": 5})").get<TessaroVault>(); }},
    {"an item kind outside its set", "DecodingError", "decoding",
     [] { (void)nlohmann::json("Spaceship").get<TessaroItemKind>(); }},
    {"a request with text that is not UTF-8", "TessaroError", "protocol",
     [] {
         TessaroClient::Options options;
         options.store = std::make_shared<TessaroMemoryStore>();
         TessaroClient::create(configuration("https://127.0.0.1:1"), options)->getItem("\xff", "vault");
     }},
};

}  // namespace

int checkFailures() {
    int wrong = 0;
    for (const Failure& failure : failures) {
        std::string seen = "nothing thrown";
        try {
            failure.provoke();
        } catch (const Exception& error) {
            const bool ok = std::strcmp(error.family(), failure.family) == 0 &&
                            (!failure.caseName || std::strcmp(error.caseName(), failure.caseName) == 0) &&
                            std::strcmp(error.message(), dynamic_cast<const std::exception&>(error).what()) == 0;
            seen = std::string(error.family()) + "/" + error.caseName() + (ok ? "" : " (unexpected)");
            if (ok) seen.clear();
        } catch (const std::exception& error) {
            seen = std::string("not a tessaro::Exception: ") + error.what();
        } catch (...) {
            seen = "an exception of no standard class";
        }
        // The same failure, caught as a standard exception.
        bool standard = false;
        try {
            failure.provoke();
        } catch (const std::exception& error) {
            standard = error.what()[0] != '\0';
        } catch (...) {}
        if (!seen.empty() || !standard) {
            std::fprintf(stderr, "tessaro-consumer: %s: expected %s/%s, got %s%s\n", failure.what, failure.family,
                         failure.caseName ? failure.caseName : "*", seen.empty() ? "it" : seen.c_str(),
                         standard ? "" : ", and not as std::exception with a message");
            ++wrong;
        } else {
            std::printf("tessaro-consumer: %s: %s caught as tessaro::Exception and std::exception\n", failure.what,
                        failure.family);
        }
    }
    return wrong;
}
