// TokenResponse::fromJSON and AccountInfo::fromJSON on arbitrary JSON text: the only exception that
// may escape is APIError::decoding, thrown exactly when a required member is not a string.
#include <cstdint>
#include <cstdlib>

#include <tessaro/api/tessaro_api.hpp>

using tessaro::TessaroAPI;

namespace {

bool hasString(const nlohmann::json& object, const char* key) {
    return object.is_object() && object.contains(key) && object[key].is_string();
}

template <typename F>
void expectDecodingUnless(bool readable, F&& read) {
    try {
        read();
        if (!readable) std::abort();
    } catch (const TessaroAPI::APIError& error) {
        if (readable || !(error == TessaroAPI::APIError::decoding())) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const nlohmann::json object = nlohmann::json::parse(data, data + size, nullptr, false);
    if (object.is_discarded()) return 0;

    expectDecodingUnless(
        hasString(object, "access_token") && hasString(object, "grant_id") && hasString(object, "account_id"), [&] {
            const auto token = TessaroAPI::TokenResponse::fromJSON(object);
            if (token.accessToken != object["access_token"].get<std::string>()) std::abort();
            // A vault list is all or nothing: never longer than what was sent.
            if (!token.vaults.empty() && token.vaults.size() != object["vaults"].size()) std::abort();
        });
    expectDecodingUnless(hasString(object, "account_id") && hasString(object, "identity_public_key"),
                         [&] { TessaroAPI::AccountInfo::fromJSON(object); });
    return 0;
}
