#pragma once
// A secret store that keeps everything in memory for the life of the object.

#include <map>
#include <mutex>

#include <tessaro/sdk_export.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro {

// In-memory TessaroSecretStore, for hosts that want no persistence: contents live exactly as long
// as the object, nothing is written anywhere else, and a new store is always empty. Values are
// kept in self-wiping buffers.
// Thread safety: every operation is serialised on one mutex, each atomic with respect to the
// others; nothing is called out while the mutex is held.
// Throws: nothing of its own (only std::bad_alloc).
class TESSARO_EXPORT TessaroMemoryStore final : public TessaroSecretStore {
public:
    TessaroMemoryStore() = default;

    std::optional<SecureBytes> read(const std::string& key) override;
    void write(const std::string& key, std::span<const std::uint8_t> value) override;
    void remove(const std::string& key) override;
    void deleteAll() override;
    // All keys under one lock: a consistent snapshot.
    Values readMany(std::span<const std::string> keys) override;

private:
    std::mutex lock_;
    std::map<std::string, SecureBytes, std::less<>> values_;
};

}  // namespace tessaro
