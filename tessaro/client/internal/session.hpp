#pragma once
// The client's stored grant and its layout in the secret store.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tessaro/crypto/keys.hpp>
#include <tessaro/records/records.hpp>
#include <tessaro/records/timestamp.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro::detail {

// Everything a grant needs between runs: the two key pairs, the tokens, the account and the vaults.
// A value; copies are independent (the private keys live in SecureBytes).
struct Session {
    Session(TessaroCrypto::ApprovalKeypair approvalKey, TessaroCrypto::SealKeypair sealKey)
        : approval(std::move(approvalKey)), seal(std::move(sealKey)) {}

    TessaroCrypto::ApprovalKeypair approval;
    TessaroCrypto::SealKeypair seal;
    std::optional<std::string> accessToken;
    Timestamp accessExpiresAt{};
    std::optional<std::string> refreshToken;
    std::string grantID;
    std::string accountID;
    std::optional<std::string> identityPublicKey;
    std::vector<TessaroVault> vaults;
};

// The store keys of a session, in the order loadSession reads them.
namespace sessionKey {
inline constexpr const char* approvalSeed = "approval_seed";
inline constexpr const char* sealPrivateKey = "seal_private_key";
inline constexpr const char* grantID = "grant_id";
inline constexpr const char* accessExpiresAt = "access_expires_at";
inline constexpr const char* vaults = "vaults";
inline constexpr const char* accessToken = "access_token";
inline constexpr const char* refreshToken = "refresh_token";
inline constexpr const char* accountID = "account_id";
inline constexpr const char* identityPublicKey = "account_identity_public_key";
}  // namespace sessionKey

// Every key of a session, in the order loadSession reads them.
const std::vector<std::string>& sessionKeys();

// The session in `store`, read with one readMany. No value unless "approval_seed",
// "seal_private_key" and "grant_id" (UTF-8) all exist. Errors of the store are thrown unchanged, and
// so is CryptoError::invalidKey for a stored key that is not 32 bytes. A corrupt expiry reads as
// the epoch and corrupt vaults as none.
std::optional<Session> loadSession(TessaroSecretStore& store);

// Replaces the stored session with `session`: reads the earlier one, clears the store, then writes
// every entry. No entry of an earlier grant survives a success. When a write or removal fails, the
// earlier session is put back whole (or, when that fails too, the store is cleared) and the first
// failure is thrown: a failed save never leaves a mix of two grants. A failure to read the earlier
// session is thrown before anything changes. Not serialised against other writers: callers hold the
// session-write lock.
void saveSession(TessaroSecretStore& store, const Session& session);

// Writes the refresh token (removed when absent) first, then the access token (removed when
// absent) and its expiry; never touches keys, grant, account or vaults.
void saveTokens(TessaroSecretStore& store, const Session& session);

// The stored form of an expiry: the shortest decimal that reads back to the same double, always
// with a fractional part ("1700000000.0", "1700000000.5").
std::string expiryText(Timestamp time);
// The expiry a stored text names: a finite decimal number as the whole text, else the epoch.
Timestamp expiryFromText(std::string_view text);

}  // namespace tessaro::detail
