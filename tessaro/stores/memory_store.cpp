#include <tessaro/stores/memory_store.hpp>

#include <map>
#include <mutex>

namespace tessaro {

struct TESSARO_NO_EXPORT TessaroMemoryStore::Impl {
    std::mutex lock;
    std::map<std::string, SecureBytes, std::less<>> values;
};

TessaroMemoryStore::TessaroMemoryStore() : impl_(std::make_unique<Impl>()) {}

TessaroMemoryStore::~TessaroMemoryStore() = default;

std::optional<SecureBytes> TessaroMemoryStore::read(const std::string& key) {
    std::lock_guard guard(impl_->lock);
    auto found = impl_->values.find(key);
    if (found == impl_->values.end()) return std::nullopt;
    return found->second;
}

TessaroSecretStore::Values TessaroMemoryStore::readMany(std::span<const std::string> keys) {
    Values values;
    std::lock_guard guard(impl_->lock);
    for (const auto& key : keys) {
        if (auto found = impl_->values.find(key); found != impl_->values.end()) {
            values.insert_or_assign(key, found->second);
        }
    }
    return values;
}

void TessaroMemoryStore::write(const std::string& key, std::span<const std::uint8_t> value) {
    SecureBytes copy(value);  // copied outside the lock
    std::lock_guard guard(impl_->lock);
    impl_->values.insert_or_assign(key, std::move(copy));
}

void TessaroMemoryStore::remove(const std::string& key) {
    // Declared before the guard, so the value is wiped and freed after the lock is released.
    std::map<std::string, SecureBytes, std::less<>>::node_type removed;
    std::lock_guard guard(impl_->lock);
    auto found = impl_->values.find(key);
    if (found != impl_->values.end()) removed = impl_->values.extract(found);
}

void TessaroMemoryStore::deleteAll() {
    std::map<std::string, SecureBytes, std::less<>> removed;
    std::lock_guard guard(impl_->lock);
    impl_->values.swap(removed);
}

}  // namespace tessaro
