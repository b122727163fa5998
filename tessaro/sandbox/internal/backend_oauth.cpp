// Clients, authorization codes, grants, tokens and signed-request checks.

#include <sodium.h>

#include <algorithm>
#include <regex>
#include <stdexcept>

#include <tessaro/records/exception.hpp>
#include <tessaro/sandbox/internal/backend.hpp>

namespace tessaro::sandbox::detail {

namespace {

const std::string* stringMember(const nlohmann::json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

const std::string& requiredString(const nlohmann::json& body, const char* key) {
    const std::string* value = stringMember(body, key);
    if (!value) throw Refusal(400, "invalid_request");
    return *value;
}

bool isVerifierText(const std::string& verifier) {
    if (verifier.size() < 43 || verifier.size() > 128) return false;
    return std::all_of(verifier.begin(), verifier.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
    });
}

// A decimal integer without sign "+", leading zeros or spaces: the only form a timestamp header
// may take, so that its text is the text the client signed.
std::optional<std::int64_t> parseTimestamp(const std::string& text) {
    static const std::regex pattern("-?(0|[1-9][0-9]{0,17})");
    if (!std::regex_match(text, pattern)) return std::nullopt;
    return std::stoll(text);
}

std::optional<std::string> bearerToken(const std::optional<std::string>& header) {
    if (!header || header->size() <= 7) return std::nullopt;
    std::string scheme = header->substr(0, 7);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (scheme != "bearer ") return std::nullopt;
    return header->substr(7);
}

}  // namespace

Backend::Backend(Settings settings, Account account)
    : settings_(std::move(settings)), account_(std::move(account)), identity_(X25519Keypair::generate()) {}

TimePoint Backend::now() const { return settings_.clock ? settings_.clock() : std::chrono::system_clock::now(); }

void Backend::registerClient(const std::string& clientID, const std::vector<std::string>& redirectURIs) {
    static const std::regex idPattern("pmc_[A-Za-z0-9]+");
    if (!std::regex_match(clientID, idPattern)) {
        throw InvalidArgument("a client ID is \"pmc_\" followed by letters and digits: " + clientID);
    }
    for (const std::string& uri : redirectURIs) {
        const auto parts = parseURI(uri);
        if (!parts || parts->hasFragment || parts->hasUserInfo || parts->scheme.empty()) {
            throw InvalidArgument("not a usable redirect URI: " + uri);
        }
        if (parts->scheme == "http" && !isLoopbackIP(parts->host)) {
            throw InvalidArgument("plain http redirect URIs must be loopback (127.0.0.1 or [::1]): " + uri);
        }
    }
    std::lock_guard lock(mutex_);
    auto& client = clients_[clientID];
    client.redirectURIs.insert(client.redirectURIs.end(), redirectURIs.begin(), redirectURIs.end());
}

bool Backend::redirectMatches(const std::string& registered, const std::string& given) const {
    if (registered == given) return true;
    const auto reg = parseURI(registered);
    if (!reg || reg->scheme != "http" || !isLoopbackIP(reg->host)) return false;
    const auto uri = parseURI(given);
    if (!uri || uri->scheme != "http" || uri->host != reg->host || uri->hasFragment || uri->hasUserInfo ||
        uri->query != reg->query) {
        return false;
    }
    const std::string regPath = reg->path.empty() ? "/" : reg->path;
    const std::string path = uri->path.empty() ? "/" : uri->path;
    if (regPath.ends_with('*')) return path.starts_with(regPath.substr(0, regPath.size() - 1));
    return path == regPath;
}

std::string Backend::checkClient(const std::string& clientID, const std::string& redirectURI) const {
    std::lock_guard lock(mutex_);
    const auto client = clients_.find(clientID);
    if (client == clients_.end()) return "invalid_client";
    for (const std::string& registered : client->second.redirectURIs) {
        if (redirectMatches(registered, redirectURI)) return {};
    }
    return "unregistered_redirect_uri";
}

std::vector<std::string> Backend::grantedVaults(const std::optional<std::vector<std::string>>& named) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> vaults;
    for (const Vault& vault : account_.vaults) {
        const bool wanted =
            named ? std::find(named->begin(), named->end(), vault.id) != named->end() : vault.inDefaultGrant;
        if (wanted) vaults.push_back(vault.id);
    }
    return vaults;
}

std::string Backend::issueCode(CodeBinding binding) {
    const std::string code = randomToken(24);
    std::lock_guard lock(mutex_);
    const TimePoint time = now();
    // Forget codes long past their lifetime; a recent spent code is kept to detect its reuse.
    std::erase_if(codes_, [&](const auto& entry) { return entry.second.expiresAt + settings_.codeLifetime < time; });
    codes_[sha256Hex(code)] = Code{std::move(binding), time + settings_.codeLifetime, false, std::nullopt};
    return code;
}

Reply Backend::token(const nlohmann::json& body) {
    if (!body.is_object()) throw Refusal(400, "invalid_request");
    const std::string& grantType = requiredString(body, "grant_type");
    const std::string& clientID = requiredString(body, "client_id");
    std::lock_guard lock(mutex_);
    if (!clients_.contains(clientID)) throw Refusal(401, "invalid_client");
    if (grantType == "authorization_code") return exchangeCode(body, clientID);
    if (grantType == "refresh_token") return refresh(body, clientID);
    throw Refusal(400, "unsupported_grant_type");
}

Reply Backend::exchangeCode(const nlohmann::json& body, const std::string& clientID) {
    const std::string& code = requiredString(body, "code");
    const std::string& redirectURI = requiredString(body, "redirect_uri");
    const std::string& verifier = requiredString(body, "code_verifier");

    const auto found = codes_.find(sha256Hex(code));
    if (found == codes_.end()) throw Refusal(400, "invalid_grant");
    Code& entry = found->second;
    if (now() >= entry.expiresAt) {
        entry.consumed = true;
        throw Refusal(400, "code_expired");
    }
    if (entry.consumed) {
        // A code presented twice may have leaked: the grant issued from it is revoked too.
        if (entry.grantID) revokeGrant(*entry.grantID);
        throw Refusal(400, "code_reused");
    }
    entry.consumed = true;  // any attempt spends the code
    if (entry.binding.clientID != clientID) throw Refusal(400, "client_mismatch");
    if (entry.binding.redirectURI != redirectURI) throw Refusal(400, "redirect_uri_mismatch");
    if (!isVerifierText(verifier)) throw Refusal(400, "invalid_code_verifier");
    const auto digest = sha256({reinterpret_cast<const std::uint8_t*>(verifier.data()), verifier.size()});
    if (base64urlEncode(digest) != entry.binding.codeChallenge) throw Refusal(400, "invalid_code_verifier");

    const std::string grantID = "grt_" + randomToken(12);
    grants_[grantID] = Grant{clientID, entry.binding.approvalKey, entry.binding.sealKey, entry.binding.vaultIDs, false};
    entry.grantID = grantID;
    return issueTokens(grantID);
}

Reply Backend::refresh(const nlohmann::json& body, const std::string& clientID) {
    const std::string& refreshToken = requiredString(body, "refresh_token");
    const auto found = refreshTokens_.find(sha256Hex(refreshToken));
    if (found == refreshTokens_.end()) throw Refusal(400, "invalid_refresh_token");
    Token& entry = found->second;
    if (entry.clientID != clientID) throw Refusal(400, "client_mismatch");
    if (grants_.at(entry.grantID).revoked) throw Refusal(400, "grant_revoked");
    if (entry.used) {
        // A spent refresh token came back: someone holds a copy, so the whole grant goes.
        revokeGrant(entry.grantID);
        throw Refusal(400, "refresh_token_reused");
    }
    if (now() >= entry.expiresAt) throw Refusal(400, "refresh_expired");
    entry.used = true;
    return issueTokens(entry.grantID);
}

Reply Backend::issueTokens(const std::string& grantID) {
    const Grant& grant = grants_.at(grantID);
    const std::string accessToken = "pmat_" + randomToken(32);
    const std::string refreshToken = "pmrt_" + randomToken(32);
    const TimePoint time = now();
    accessTokens_[sha256Hex(accessToken)] = Token{grantID, grant.clientID, time + settings_.accessTokenLifetime, false};
    refreshTokens_[sha256Hex(refreshToken)] =
        Token{grantID, grant.clientID, time + settings_.refreshTokenLifetime, false};
    return {200,
            {
                {"access_token", accessToken},
                {"token_type", "Bearer"},
                {"expires_in", settings_.accessTokenLifetime.count()},
                {"refresh_token", refreshToken},
                {"refresh_expires_in", settings_.refreshTokenLifetime.count()},
                {"grant_id", grantID},
                {"account_id", account_.id},
                {"client_type", "public"},
                {"account_identity_public_key", identity_.publicKeyBase64URL()},
                {"vaults", grantVaultsJSON(grant)},
            }};
}

void Backend::revokeGrant(const std::string& grantID) {
    Grant& grant = grants_.at(grantID);
    grant.revoked = true;
    for (auto& [id, request] : requests_) {
        if (request.grantID == grantID && isOpen(request)) {
            request.state = "cancelled";
            request.denyReason = "grant_revoked";
        }
    }
}

nlohmann::json Backend::grantVaultsJSON(const Grant& grant) const {
    nlohmann::json vaults = nlohmann::json::array();
    for (const std::string& id : grant.vaultIDs) {
        if (const Vault* vault = account_.vault(id)) vaults.push_back(vault->toJSON());
    }
    return vaults;
}

bool Backend::isGranted(const Grant& grant, const std::string& vaultID) const {
    return std::find(grant.vaultIDs.begin(), grant.vaultIDs.end(), vaultID) != grant.vaultIDs.end() &&
           account_.vault(vaultID) != nullptr;
}

std::string Backend::authenticate(const std::string& method, const std::string& path, const SignedHeaders& headers,
                                  const std::string& body) {
    std::lock_guard lock(mutex_);
    const TimePoint time = now();

    // 1. Bearer token: known, grant alive, unexpired.
    const auto token = bearerToken(headers.authorization);
    if (!token) throw Refusal(401, "invalid_token");
    const auto found = accessTokens_.find(sha256Hex(*token));
    if (found == accessTokens_.end()) throw Refusal(401, "invalid_token");
    const Token& access = found->second;
    const Grant& grant = grants_.at(access.grantID);
    if (grant.revoked) throw Refusal(403, "grant_revoked");
    if (time >= access.expiresAt) throw Refusal(401, "token_expired");

    // 2. Timestamp within the window of the server clock.
    const auto timestamp = headers.timestamp ? parseTimestamp(*headers.timestamp) : std::nullopt;
    if (!timestamp) throw Refusal(401, "invalid_timestamp");
    const std::int64_t skew = *timestamp - unixSeconds(time);
    if (skew > settings_.signatureWindow.count() || skew < -settings_.signatureWindow.count()) {
        throw Refusal(401, "stale_timestamp");
    }

    // 3. Nonce not seen within the window.
    pruneNonces();
    if (!headers.nonce || headers.nonce->empty() || headers.nonce->size() > 128) throw Refusal(401, "invalid_nonce");
    if (nonces_.contains(*headers.nonce)) throw Refusal(401, "nonce_reused");

    // 4. Signature over the canonical string rebuilt from the request as received.
    const std::string canonical =
        method + "\n" + path + "\n" + *headers.timestamp + "\n" + *headers.nonce + "\n" + sha256Hex(body);
    const auto signature = headers.signature ? base64urlDecode(*headers.signature) : std::nullopt;
    const auto publicKey = base64urlDecode(grant.approvalKey);
    if (!signature || signature->size() != crypto_sign_BYTES || !publicKey ||
        publicKey->size() != crypto_sign_PUBLICKEYBYTES ||
        crypto_sign_verify_detached(signature->data(), reinterpret_cast<const unsigned char*>(canonical.data()),
                                    canonical.size(), publicKey->data()) != 0) {
        throw Refusal(401, "invalid_signature");
    }
    // Only an authenticated request spends its nonce.
    rememberNonce(*headers.nonce);
    return access.grantID;
}

void Backend::rememberNonce(const std::string& nonce) {
    nonces_.insert(nonce);
    nonceOrder_.emplace_back(now(), nonce);
}

void Backend::pruneNonces() {
    // A nonce is kept for twice the window: any timestamp it could be replayed with is then stale.
    const TimePoint cutoff = now() - 2 * settings_.signatureWindow;
    while (!nonceOrder_.empty() && nonceOrder_.front().first < cutoff) {
        nonces_.erase(nonceOrder_.front().second);
        nonceOrder_.pop_front();
    }
}

Reply Backend::account(const std::string& grantID) {
    std::lock_guard lock(mutex_);
    const Grant& grant = grants_.at(grantID);
    return {200,
            {{"account_id", account_.id},
             {"identity_public_key", identity_.publicKeyBase64URL()},
             {"vaults", grantVaultsJSON(grant)}}};
}

Reply Backend::revoke(const std::string& grantID, const nlohmann::json& body) {
    if (!body.is_object()) throw Refusal(400, "invalid_request");
    const std::string& token = requiredString(body, "token");
    const std::string& clientID = requiredString(body, "client_id");
    std::lock_guard lock(mutex_);
    const Grant& caller = grants_.at(grantID);
    if (clientID != caller.clientID) throw Refusal(400, "client_mismatch");
    // RFC 7009: a token this client does not hold is answered like a revoked one.
    const std::string key = sha256Hex(token);
    for (const auto* tokens : {&accessTokens_, &refreshTokens_}) {
        const auto found = tokens->find(key);
        if (found != tokens->end() && found->second.clientID == caller.clientID) {
            revokeGrant(found->second.grantID);
            break;
        }
    }
    return {200, nlohmann::json::object()};
}

std::optional<Item> Backend::item(const std::string& itemID) const {
    std::lock_guard lock(mutex_);
    const Item* found = account_.item(itemID);
    if (!found) return std::nullopt;
    return *found;
}

std::vector<Vault> Backend::vaults() const {
    std::lock_guard lock(mutex_);
    return account_.vaults;
}

std::vector<Item> Backend::items() const {
    std::lock_guard lock(mutex_);
    return account_.items;
}

std::string Backend::identityPublicKey() const { return identity_.publicKeyBase64URL(); }

}  // namespace tessaro::sandbox::detail
