#include <tessaro/stores/memory_store.hpp>

namespace tessaro {

std::optional<SecureBytes> TessaroMemoryStore::read(const std::string& key) {
    std::lock_guard guard(lock_);
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

TessaroSecretStore::Values TessaroMemoryStore::readMany(std::span<const std::string> keys) {
    Values values;
    std::lock_guard guard(lock_);
    for (const auto& key : keys) {
        if (auto found = values_.find(key); found != values_.end()) values.insert_or_assign(key, found->second);
    }
    return values;
}

void TessaroMemoryStore::write(const std::string& key, std::span<const std::uint8_t> value) {
    SecureBytes copy(value);  // copied outside the lock
    std::lock_guard guard(lock_);
    values_.insert_or_assign(key, std::move(copy));
}

void TessaroMemoryStore::remove(const std::string& key) {
    std::map<std::string, SecureBytes, std::less<>>::node_type removed;
    std::lock_guard guard(lock_);
    auto found = values_.find(key);
    if (found != values_.end()) removed = values_.extract(found);
}

void TessaroMemoryStore::deleteAll() {
    std::map<std::string, SecureBytes, std::less<>> removed;
    std::lock_guard guard(lock_);
    values_.swap(removed);
}

}  // namespace tessaro
