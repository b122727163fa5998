#include <tessaro/client/internal/session.hpp>

#include <array>
#include <charconv>
#include <cmath>

#include <tessaro/records/internal/utf8.hpp>

namespace tessaro::detail {
namespace {

std::optional<std::string> textOf(const TessaroSecretStore::Values& values, const char* key) {
    const auto found = values.find(key);
    if (found == values.end() || !isValidUTF8(found->second.view())) return std::nullopt;
    return std::string(found->second.view());
}

}  // namespace

std::string expiryText(Timestamp time) {
    std::array<char, 512> buffer{};
    const double seconds = secondsSince1970(time);
    // Fixed notation, shortest digits that round-trip: never an exponent.
    const auto [end, ec] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds, std::chars_format::fixed);
    std::string text(buffer.data(), ec == std::errc() ? end : buffer.data());
    if (text.find('.') == std::string::npos && std::isfinite(seconds)) text += ".0";
    return text;
}

Timestamp expiryFromText(std::string_view text) {
    double seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    // Infinity or NaN would make a token that never expires (or never compares): the epoch instead,
    // so the next call refreshes.
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds)) return Timestamp{};
    return timestampFromSeconds(seconds);
}

std::optional<Session> loadSession(TessaroSecretStore& store) {
    using namespace sessionKey;
    const auto values = store.readMany(sessionKeys());
    const auto seed = values.find(approvalSeed);
    const auto sealKey = values.find(sealPrivateKey);
    auto grant = textOf(values, grantID);
    if (seed == values.end() || sealKey == values.end() || !grant) return std::nullopt;

    Session session{TessaroCrypto::ApprovalKeypair(seed->second), TessaroCrypto::SealKeypair(sealKey->second)};
    session.grantID = std::move(*grant);
    session.accessExpiresAt = expiryFromText(textOf(values, accessExpiresAt).value_or(""));
    if (const auto stored = values.find(vaults); stored != values.end()) {
        const auto view = stored->second.view();
        session.vaults = decodeVaultList(nlohmann::json::parse(view.begin(), view.end(), nullptr, false));
    }
    session.accessToken = textOf(values, accessToken);
    session.refreshToken = textOf(values, refreshToken);
    session.accountID = textOf(values, accountID).value_or("");
    session.identityPublicKey = textOf(values, identityPublicKey);
    return session;
}

void saveTokens(TessaroSecretStore& store, const Session& session) {
    using namespace sessionKey;
    // The refresh token first: once a refresh answer is in, the new one is the only one the server
    // still takes, so a failure after this write must not leave the spent one stored.
    if (session.refreshToken) {
        store.writeString(refreshToken, *session.refreshToken);
    } else {
        store.remove(refreshToken);
    }
    if (session.accessToken) {
        store.writeString(accessToken, *session.accessToken);
    } else {
        store.remove(accessToken);
    }
    store.writeString(accessExpiresAt, expiryText(session.accessExpiresAt));
}

namespace {

void writeWhole(TessaroSecretStore& store, const Session& session) {
    using namespace sessionKey;
    store.deleteAll();
    store.write(approvalSeed, session.approval.seed());
    store.write(sealPrivateKey, session.seal.rawPrivateKey());
    store.writeString(grantID, session.grantID);
    store.writeString(accountID, session.accountID);
    saveTokens(store, session);
    if (session.identityPublicKey) store.writeString(identityPublicKey, *session.identityPublicKey);
    store.writeString(vaults, encodeVaultList(session.vaults).dump());
}

}  // namespace

const std::vector<std::string>& sessionKeys() {
    using namespace sessionKey;
    static const std::vector<std::string> keys = {approvalSeed, sealPrivateKey, grantID,   accessExpiresAt,  vaults,
                                                  accessToken,  refreshToken,   accountID, identityPublicKey};
    return keys;
}

void saveSession(TessaroSecretStore& store, const Session& session) {
    const auto earlier = store.readMany(sessionKeys());  // a failure here changes nothing
    try {
        writeWhole(store, session);
    } catch (...) {
        // Back to the earlier session, whole; failing that, nothing: never a mix of two grants.
        try {
            store.deleteAll();
            for (const auto& [key, value] : earlier)
                store.write(key, value);
        } catch (...) {
            try {
                store.deleteAll();
            } catch (...) {
                // Nothing more can be done; the store's first error is the one reported.
            }
        }
        throw;
    }
}

}  // namespace tessaro::detail
