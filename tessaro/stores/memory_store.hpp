#pragma once
/// @file
/// A secret store that keeps everything in memory for the life of the object.

#include <memory>

#include <tessaro/sdk_export.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro {

/// In-memory TessaroSecretStore, for hosts that want no persistence: contents live exactly as long
/// as the object, nothing is written anywhere else, and a new store is always empty. Values are
/// kept in self-wiping buffers.
///
/// Thread safety: every operation is serialised on one mutex, each atomic with respect to the
/// others; nothing is called out while the mutex is held, so no operation blocks for long.
/// Throws: nothing of its own (only std::bad_alloc).
class TESSARO_EXPORT TessaroMemoryStore final : public TessaroSecretStore {
public:
    /// An empty store. May throw std::bad_alloc.
    TessaroMemoryStore();
    /// Wipes every value.
    ~TessaroMemoryStore() override;

    /// A copy of the value of `key`, or none.
    std::optional<SecureBytes> read(const std::string& key) override;
    /// Stores a copy of `value` under `key`, wiping the value it replaces.
    void write(const std::string& key, std::span<const std::uint8_t> value) override;
    /// Removes `key` and wipes its value; a missing key is no error.
    void remove(const std::string& key) override;
    /// Removes and wipes every value.
    void deleteAll() override;
    /// All keys under one lock: a consistent snapshot.
    Values readMany(std::span<const std::string> keys) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro
