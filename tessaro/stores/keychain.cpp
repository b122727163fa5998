#include <tessaro/stores/keychain.hpp>

#include <tessaro/stores/secret_service_backend.hpp>

namespace tessaro {

namespace {

std::string describe(std::int32_t status) {
    std::string text = "secret store operation failed with status " + std::to_string(status);
    if (auto meaning = SecretServiceBackend::describeStatus(status); !meaning.empty()) {
        text += " (";
        text += meaning;
        text += ")";
    }
    return text;
}

}  // namespace

TessaroKeychain::KeychainError::KeychainError(std::int32_t status) : status_(status), message_(describe(status)) {}

TessaroKeychain::TessaroKeychain(const std::string& clientID, std::optional<std::string> accessGroup,
                                 std::shared_ptr<Backend> backend)
    : service_(std::string(servicePrefix) + clientID),
      accessGroup_(std::move(accessGroup)),
      backend_(backend ? std::move(backend) : SecretServiceBackend::shared()) {}

TessaroKeychain::Query TessaroKeychain::query(const std::string* key) const {
    Query q{service_, std::nullopt, accessGroup_};
    if (key) q.account = *key;
    return q;
}

std::optional<SecureBytes> TessaroKeychain::read(const std::string& key) {
    std::optional<SecureBytes> data;
    const auto status = backend_->copyMatching(query(&key), data);
    if (status == statusItemNotFound) return std::nullopt;
    if (status != statusSuccess) throw KeychainError(status);
    return data;
}

void TessaroKeychain::write(const std::string& key, std::span<const std::uint8_t> value) {
    const auto q = query(&key);
    // Add, and on "duplicate" update. An item removed between the two (a concurrent delete) makes
    // the update report "not found"; the add is then tried again, so a write never fails merely
    // because it raced a delete.
    constexpr int attempts = 4;
    std::int32_t status = statusSuccess;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        status = backend_->add(q, value);
        if (status != statusDuplicateItem) break;
        status = backend_->update(q, value);
        if (status != statusItemNotFound) break;
    }
    if (status != statusSuccess) throw KeychainError(status);
}

std::int32_t TessaroKeychain::Backend::copyMatchingMany(const Query& query, std::span<const std::string> accounts,
                                                        TessaroSecretStore::Values& values) {
    values.clear();
    for (const auto& account : accounts) {
        if (values.contains(account)) continue;
        Query one = query;
        one.account = account;
        std::optional<SecureBytes> data;
        const auto status = copyMatching(one, data);
        if (status == statusItemNotFound) continue;
        if (status != statusSuccess) return status;
        if (data) values.emplace(account, std::move(*data));
    }
    return statusSuccess;
}

TessaroSecretStore::Values TessaroKeychain::readMany(std::span<const std::string> keys) {
    Values values;
    const auto status = backend_->copyMatchingMany(query(nullptr), keys, values);
    if (status != statusSuccess && status != statusItemNotFound) throw KeychainError(status);
    return values;
}

std::optional<std::string> TessaroKeychain::lockName() const {
    return accessGroup_ ? service_ + "\n" + *accessGroup_ : service_;
}

void TessaroKeychain::remove(const std::string& key) {
    const auto status = backend_->remove(query(&key));
    if (status != statusSuccess && status != statusItemNotFound) throw KeychainError(status);
}

void TessaroKeychain::deleteAll() {
    const auto status = backend_->remove(query(nullptr));
    if (status != statusSuccess && status != statusItemNotFound) throw KeychainError(status);
}

}  // namespace tessaro
