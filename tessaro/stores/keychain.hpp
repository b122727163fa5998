#pragma once
/// @file
/// The persistent secret store: one desktop-keyring item per key, all items of a client under one
/// service name.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include <tessaro/records/exception.hpp>
#include <tessaro/sdk_export.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro {

/// TessaroSecretStore over a keyring of generic-password items. Every item of this store carries
/// the service `service()` ("org.tessaro.tessaro.sdk." followed by the client ID), the account (the
/// key) and, when given, the access group. The store runs a fixed algorithm over a Backend with
/// four item operations and their status codes: read is copy-matching; write is add, and on
/// "duplicate" update; remove and deleteAll are delete, where "not found" counts as success.
/// The default backend is the desktop's Secret Service (see stores/secret_service_backend.hpp).
///
/// Access groups are exact partitions, writes included: a store without a group sees, writes and
/// deletes only items that carry no group, and a store with a group only items of that group (a
/// literal reading of "no group" would match every group, letting an ungrouped deleteAll wipe a
/// shared session).
///
/// Thread safety: the store keeps no mutable state of its own; it may be called from any thread and
/// from several threads at once. Within one process the Secret Service backend serialises every item
/// operation, but a write is two of them (add, then update on "duplicate"), so it is not atomic: a
/// delete may land between them (the write then adds again), and two processes writing one key at
/// the same moment may each add an item. Such twins are harmless: read returns one of the two
/// values, the next write updates both and remove deletes both. Backend calls
/// may block (the Secret Service backend waits for D-Bus and, when the keyring is locked, for an
/// unlock prompt): never call on a GUI thread.
///
/// Throws: TessaroKeychain::KeychainError with the backend's status for every failure (and
/// std::bad_alloc).
class TESSARO_EXPORT TessaroKeychain final : public TessaroSecretStore {
public:
    /// The operation succeeded. Status codes shared by every backend.
    static constexpr std::int32_t statusSuccess = 0;
    /// No item matched the query.
    static constexpr std::int32_t statusItemNotFound = -25300;
    /// add found an item with the same service, account and access group.
    static constexpr std::int32_t statusDuplicateItem = -25299;

    /// The fixed service prefix, the same for every client and installation.
    static constexpr std::string_view servicePrefix = "org.tessaro.tessaro.sdk.";

    /// The failure of a store operation: the backend's 32-bit status code. Equal when the codes
    /// are. An immutable value: copying never throws (the standard base shares the message), and
    /// every member may be called from any thread. Caught as std::exception and as
    /// tessaro::Exception (family "KeychainError"; the case names the status, see caseName()).
    class TESSARO_EXPORT KeychainError : public std::runtime_error, public Exception {
    public:
        /// The error of `status`, with the message `secret store operation failed with status <n>
        /// (<meaning>)`, the meaning for a status of the Secret Service backend's table. Throws
        /// std::bad_alloc.
        explicit KeychainError(std::int32_t status);

        /// The backend's status code.
        std::int32_t status() const noexcept;
        /// "KeychainError".
        const char* family() const noexcept override;
        /// The status by name: "itemNotFound", "duplicateItem", "notAvailable", "locked",
        /// "promptDismissed", "accessDenied", "invalidParameter", "internal", or "failure" for a
        /// code outside these (a host's own backend).
        const char* caseName() const noexcept override;
        /// The same text as what().
        const char* message() const noexcept override;
        /// True when the status codes are equal.
        bool operator==(const KeychainError& other) const noexcept;

    private:
        std::int32_t status_;
    };

    /// What an item operation matches: service and, when given, account (the key) and access group.
    /// A query without access group matches only items that carry none; a query with one matches
    /// only items of that group (stores never see across groups). A plain value.
    struct Query {
        std::string service;                     ///< The store's service name.
        std::optional<std::string> account;      ///< The key; none matches every key of the service.
        std::optional<std::string> accessGroup;  ///< The access group; none matches only ungrouped items.
    };

    /// The four item operations a keyring must offer. Each returns a status: statusSuccess,
    /// statusItemNotFound, statusDuplicateItem or a backend-specific failure code (never one of the
    /// first three for a failure), and throws nothing but std::bad_alloc. Implementations must be
    /// safe to call from several threads; they may block.
    class TESSARO_EXPORT Backend {
    public:
        virtual ~Backend() = default;
        /// The value of the one item matching `query` (service, account, group) into `data`;
        /// statusItemNotFound when none matches.
        virtual std::int32_t copyMatching(const Query& query, std::optional<SecureBytes>& data) = 0;
        /// Creates the item for `query` (which has an account) with `value`; statusDuplicateItem,
        /// changing nothing, when an item with the same service, account and group exists.
        virtual std::int32_t add(const Query& query, std::span<const std::uint8_t> value) = 0;
        /// Replaces the value of every item matching `query`; statusItemNotFound when none matches.
        virtual std::int32_t update(const Query& query, std::span<const std::uint8_t> value) = 0;
        /// Removes every item matching `query` (with or without account); statusItemNotFound when
        /// none matched.
        virtual std::int32_t remove(const Query& query) = 0;
        /// The values of the items of `query` (service and group, no account) whose accounts are
        /// in `accounts`, into `values` (account to value; accounts without an item absent);
        /// statusSuccess also when none exists. This default runs copyMatching per account;
        /// backends that can fetch several items at once override it.
        virtual std::int32_t copyMatchingMany(const Query& query, std::span<const std::string> accounts,
                                              TessaroSecretStore::Values& values);
    };

    /// A store with service = servicePrefix + clientID (no escaping). `backend` null means the
    /// process-wide Secret Service backend (SecretServiceBackend::shared()). Contacts nothing;
    /// may throw std::bad_alloc.
    explicit TessaroKeychain(const std::string& clientID, std::optional<std::string> accessGroup = std::nullopt,
                             std::shared_ptr<Backend> backend = nullptr);
    ~TessaroKeychain() override;

    /// servicePrefix followed by the client ID.
    const std::string& service() const noexcept;
    /// The access group every item of this store carries, if any.
    const std::optional<std::string>& accessGroup() const noexcept;

    /// The value of `key`, or none when the backend finds no item. Throws KeychainError.
    std::optional<SecureBytes> read(const std::string& key) override;
    /// Adds the item of `key`, or on "duplicate" updates it (again when a delete raced the
    /// update). Throws KeychainError.
    void write(const std::string& key, std::span<const std::uint8_t> value) override;
    /// Deletes the item of `key`; "not found" is success. Throws KeychainError.
    void remove(const std::string& key) override;
    /// Deletes every item of the service and access group; "not found" is success. Throws
    /// KeychainError.
    void deleteAll() override;
    /// One backend call for all keys (one Secret Service search): loading a session reads nine.
    /// Throws KeychainError.
    Values readMany(std::span<const std::string> keys) override;
    /// The service, followed by a line feed and the access group when there is one: every store
    /// of the same items, in any process, names the same lock.
    std::optional<std::string> lockName() const override;

private:
    Query query(const std::string* key) const;

    struct Impl;
    std::unique_ptr<const Impl> impl_;
};

}  // namespace tessaro
