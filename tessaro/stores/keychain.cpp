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

TessaroKeychain::KeychainError::KeychainError(std::int32_t status)
    : std::runtime_error(describe(status)), status_(status) {}

std::int32_t TessaroKeychain::KeychainError::status() const noexcept { return status_; }
const char* TessaroKeychain::KeychainError::family() const noexcept { return "KeychainError"; }
const char* TessaroKeychain::KeychainError::message() const noexcept { return what(); }

const char* TessaroKeychain::KeychainError::caseName() const noexcept {
    switch (status_) {
        case statusItemNotFound: return "itemNotFound";
        case statusDuplicateItem: return "duplicateItem";
        case SecretServiceBackend::statusNotAvailable: return "notAvailable";
        case SecretServiceBackend::statusLocked: return "locked";
        case SecretServiceBackend::statusPromptDismissed: return "promptDismissed";
        case SecretServiceBackend::statusAccessDenied: return "accessDenied";
        case SecretServiceBackend::statusInvalidParameter: return "invalidParameter";
        case SecretServiceBackend::statusInternal: return "internal";
        default: return "failure";  // a code of another backend
    }
}

bool TessaroKeychain::KeychainError::operator==(const KeychainError& other) const noexcept {
    return status_ == other.status_;
}

// Fixed at construction (held as const): read by every thread without a lock.
struct TESSARO_NO_EXPORT TessaroKeychain::Impl {
    std::string service;
    std::optional<std::string> accessGroup;
    std::shared_ptr<Backend> backend;
};

TessaroKeychain::TessaroKeychain(const std::string& clientID, std::optional<std::string> accessGroup,
                                 std::shared_ptr<Backend> backend)
    : impl_(std::make_unique<const Impl>(Impl{std::string(servicePrefix) + clientID, std::move(accessGroup),
                                              backend ? std::move(backend) : SecretServiceBackend::shared()})) {}

TessaroKeychain::~TessaroKeychain() = default;

const std::string& TessaroKeychain::service() const noexcept { return impl_->service; }
const std::optional<std::string>& TessaroKeychain::accessGroup() const noexcept { return impl_->accessGroup; }

TessaroKeychain::Query TessaroKeychain::query(const std::string* key) const {
    Query q{impl_->service, std::nullopt, impl_->accessGroup};
    if (key) q.account = *key;
    return q;
}

std::optional<SecureBytes> TessaroKeychain::read(const std::string& key) {
    std::optional<SecureBytes> data;
    const auto status = impl_->backend->copyMatching(query(&key), data);
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
        status = impl_->backend->add(q, value);
        if (status != statusDuplicateItem) break;
        status = impl_->backend->update(q, value);
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
    const auto status = impl_->backend->copyMatchingMany(query(nullptr), keys, values);
    if (status != statusSuccess && status != statusItemNotFound) throw KeychainError(status);
    return values;
}

std::optional<std::string> TessaroKeychain::lockName() const {
    return impl_->accessGroup ? impl_->service + "\n" + *impl_->accessGroup : impl_->service;
}

void TessaroKeychain::remove(const std::string& key) {
    const auto status = impl_->backend->remove(query(&key));
    if (status != statusSuccess && status != statusItemNotFound) throw KeychainError(status);
}

void TessaroKeychain::deleteAll() {
    const auto status = impl_->backend->remove(query(nullptr));
    if (status != statusSuccess && status != statusItemNotFound) throw KeychainError(status);
}

}  // namespace tessaro
