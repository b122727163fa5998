// A minimal host: seals a record to a fresh key pair and opens it again, builds the server API and
// a client on an in-memory store, reads the kit's version, and provokes the failures of
// failures.cpp. Exits 0 when everything agrees.
#include "failures.hpp"

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/crypto/tessaro_crypto.hpp>
#include <tessaro/records/records.hpp>
#include <tessaro/stores/memory_store.hpp>
#include <tessaro/version.hpp>

#include <cstdio>
#include <string>

int main() {
    using namespace tessaro;
    const TessaroCrypto::SealKeypair recipient;
    const std::string secret = R"({"title":"bank","password":"hunter2"})";
    const std::string aad = TessaroCrypto::resultAAD("grant", "request");
    const std::string sealed =
        TessaroCrypto::seal(recipient.publicKeyBase64URL(), aad,
                            std::span(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size()));
    const SecureBytes opened = TessaroCrypto::open(sealed, aad, recipient);
    const auto record = TessaroRecord::fromJSON(nlohmann::json::parse(opened.view()));

    const auto api = TessaroAPI::create(*URL::parse("https://tessaro.example"), "pmc_consumer",
                                        *URL::parse("com.example.consumer:/oauth/callback"));

    TessaroClient::Options options;
    options.store = std::make_shared<TessaroMemoryStore>();
    const auto client = TessaroClient::create(
        TessaroConfiguration{"pmc_consumer", *URL::parse("com.example.consumer:/oauth/callback"),
                             *URL::parse("https://tessaro.example"), TessaroError::defaultDownloadURL()},
        options);

    // The header's version is the library's: both come from the same install.
    const bool ok = record.password == "hunter2" && api && !client->isAuthorized() &&
                    std::string(versionString) == TESSARO_VERSION_STRING;
    std::printf("tessaro-consumer: TessaroSDK %s, %s\n", versionString, ok ? "ok" : "FAILED");
    const int failures = checkFailures();
    return ok && failures == 0 ? 0 : 1;
}
