#pragma once
/// @file
/// The key-to-bytes storage in which the client keeps its session between runs.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// A flat map from text keys (compared exactly: case-sensitive, no normalisation) to byte strings
/// (possibly empty), one value per key. Implementations are reference types held by
/// std::shared_ptr; every holder sees the same contents.
///
/// Thread safety: every implementation may be called from any thread and from several threads at
/// once. What each operation guarantees against concurrent ones is the implementation's to state:
/// TessaroMemoryStore makes each operation atomic; TessaroKeychain serialises its calls within one
/// process, while across processes a write (add, then update on "duplicate") may interleave with
/// another process's operations (see stores/keychain.hpp). Compound steps (a read followed by a
/// write) are never atomic together. An operation of a persistent implementation may block
/// (TessaroKeychain waits for D-Bus and for unlock prompts): never call one on a GUI thread.
/// Throws: each operation may throw the implementation's own error type (TessaroKeychain::KeychainError
/// for the desktop secret store); the interface adds none of its own.
class TESSARO_EXPORT TessaroSecretStore {
public:
    /// An empty base; implementations set up their own state.
    TessaroSecretStore() = default;
    TessaroSecretStore(const TessaroSecretStore&) = delete;
    TessaroSecretStore& operator=(const TessaroSecretStore&) = delete;
    /// Releases the implementation's resources; stored contents outlive it only where the
    /// implementation persists them.
    virtual ~TessaroSecretStore() = default;

    /// The value stored under `key`, or no value when there is none.
    virtual std::optional<SecureBytes> read(const std::string& key) = 0;
    /// Stores `value` under `key`, replacing any earlier value.
    virtual void write(const std::string& key, std::span<const std::uint8_t> value) = 0;
    /// Removes `key` and its value; removing a key that is not there is no error.
    /// (The store's "delete" operation: `delete` is a C++ keyword, hence the name.)
    virtual void remove(const std::string& key) = 0;
    /// Removes every key of this store.
    virtual void deleteAll() = 0;

    /// Key to value, for readMany.
    using Values = std::map<std::string, SecureBytes, std::less<>>;
    /// The values of `keys` at once: every key that has a value maps to it, keys without one are
    /// absent (a key named twice appears once). This default reads the keys one by one, so every
    /// store has it; stores that can do better override it (TessaroMemoryStore reads under one
    /// lock, TessaroKeychain with one Secret Service search). Errors of read pass through.
    virtual Values readMany(std::span<const std::string> keys);

    /// The name under which processes that share this store's contents serialise token refreshes
    /// (an advisory lock of the kit), or none when the contents are this process's alone. None by
    /// default; TessaroKeychain names its service and access group.
    virtual std::optional<std::string> lockName() const;

    /// read(key) decoded as UTF-8 text. No value stays no value; a value that is not valid UTF-8
    /// yields no value (no error). Errors of read pass through unchanged.
    std::optional<std::string> readString(const std::string& key);
    /// Writes the UTF-8 bytes of `value` (no terminator, no byte-order mark) under `key`.
    /// Errors of write pass through unchanged.
    void writeString(const std::string& key, std::string_view value);
};

}  // namespace tessaro
