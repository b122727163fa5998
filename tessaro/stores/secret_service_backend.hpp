#pragma once
/// @file
/// The desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC) as a TessaroKeychain backend.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tessaro/sdk_export.hpp>
#include <tessaro/stores/keychain.hpp>

namespace tessaro {

/// Keychain backend over the freedesktop Secret Service on the session bus, reached through its own
/// libsecret SecretService proxy (not libsecret's shared default one).
///
/// Items: one per key in the default collection (the "default" alias, usually the login keyring),
/// schema "org.tessaro.tessaro.sdk.Item" with the attributes "service", "account" and, only when
/// the store has one, "access_group"; label "Tessaro: <service> <key>"; the value is stored as
/// application/octet-stream. A query without access group matches only items without the
/// "access_group" attribute, so a store without group never reads, replaces or deletes a grouped
/// store's items: add searches for an exact duplicate, then creates the item without the service's
/// replace flag (which would match any item whose attributes include the new item's). The Secret Service has no per-item accessibility class: the items are as available as the
/// keyring holding them (unlocked at login) and, being local keyring data, stay on this machine.
/// Secrets never go anywhere but the Secret Service: there is no fallback to a file.
///
/// Status codes (returned by the four operations, carried by TessaroKeychain::KeychainError):
///
/// | status  | meaning                                                                            |
/// |---------|------------------------------------------------------------------------------------|
/// |       0 | success                                                                            |
/// |  -25300 | item not found (never used for a failure)                                           |
/// |  -25299 | duplicate item: add found an item with the same service, account and group        |
/// |  -25291 | no Secret Service: no session bus, its address leads nowhere, nobody owns or can   |
/// |         | start org.freedesktop.secrets, the connection was lost, the service did not        |
/// |         | answer within the call timeout, or it cannot open an encrypted session (secrets    |
/// |         | never travel in a plain-text one)                                                  |
/// |  -25308 | the keyring (collection or item) is locked and the service refused to unlock it    |
/// |    -128 | the unlock (or keyring creation) prompt was dismissed, or not answered within the  |
/// |         | prompt timeout                                                                     |
/// |  -25293 | the session bus or the service denied access                                       |
/// |     -50 | invalid parameter: service, key or access group is not UTF-8 text without NUL      |
/// |         | (Secret Service attributes must be)                                                |
/// |   -2070 | anything else: an unexpected error or answer from the service or libsecret          |
///
/// The session bus is found as GLib finds it (DBUS_SESSION_BUS_ADDRESS, else the XDG runtime
/// directory's bus socket), when the first operation runs or reconnects.
///
/// Timeouts: every operation is bounded by Options::callTimeout (cancelled through a GCancellable
/// when it expires); while the service shows an unlock prompt the bound is Options::promptTimeout
/// instead. After a failure other than not-found/duplicate the connection is dropped and the next
/// operation connects afresh (so a restarted keyring daemon is picked up).
///
/// Thread safety: all operations of one backend are serialised on a mutex (libsecret's
/// synchronous calls spin a private main loop on the calling thread). They block for up to the
/// timeouts above: never call them on a GUI thread.
/// Throws: nothing of its own (std::bad_alloc, std::system_error if its watchdog thread cannot
/// start); every failure is a status.
class TESSARO_EXPORT SecretServiceBackend final : public TessaroKeychain::Backend {
public:
    /// No Secret Service reachable, or none that opens an encrypted session (see the table).
    static constexpr std::int32_t statusNotAvailable = -25291;
    /// The keyring is locked and the service refused to unlock it.
    static constexpr std::int32_t statusLocked = -25308;
    /// The unlock or keyring-creation prompt was dismissed or not answered in time.
    static constexpr std::int32_t statusPromptDismissed = -128;
    /// The session bus or the service denied access.
    static constexpr std::int32_t statusAccessDenied = -25293;
    /// Service, key or access group is not UTF-8 text without NUL.
    static constexpr std::int32_t statusInvalidParameter = -50;
    /// Any other error or unexpected answer of the service or libsecret.
    static constexpr std::int32_t statusInternal = -2070;

    /// The backend's bounds and caching. A plain value.
    struct Options {
        /// Bounds every operation while no prompt is shown.
        std::chrono::milliseconds callTimeout{10000};
        /// Bounds an operation while the service shows an unlock prompt.
        std::chrono::milliseconds promptTimeout{120000};
        /// Whether copyMatchingMany remembers the items it found (see there); false searches every
        /// time.
        bool rememberItemPaths = true;
    };

    /// A backend with the default Options. Starts its watchdog thread; connects on first use, not
    /// here. Throws std::system_error when the thread cannot start, std::bad_alloc.
    SecretServiceBackend();
    /// A backend with `options`, otherwise as the default constructor.
    explicit SecretServiceBackend(Options options);
    /// Closes the connection and stops the watchdog. No operation may be running on it.
    ~SecretServiceBackend() override;
    SecretServiceBackend(const SecretServiceBackend&) = delete;
    SecretServiceBackend& operator=(const SecretServiceBackend&) = delete;

    /// The process-wide backend on the session bus, created on first use (the default of every
    /// TessaroKeychain).
    static std::shared_ptr<SecretServiceBackend> shared();

    /// A short English description of a status of the table above; empty for other codes.
    static std::string_view describeStatus(std::int32_t status) noexcept;

    /// The value of the one matching item; unlocks a locked keyring or item first (which may show
    /// a prompt). Blocks for up to the timeouts above; returns a status of the table.
    std::int32_t copyMatching(const TessaroKeychain::Query& query, std::optional<SecureBytes>& data) override;
    /// Creates the item unless an exact duplicate exists (statusDuplicateItem). Blocks for up to the
    /// timeouts above; returns a status of the table.
    std::int32_t add(const TessaroKeychain::Query& query, std::span<const std::uint8_t> value) override;
    /// Replaces the value of every matching item. Blocks for up to the timeouts above; returns a
    /// status of the table.
    std::int32_t update(const TessaroKeychain::Query& query, std::span<const std::uint8_t> value) override;
    /// Deletes every matching item and forgets the store's remembered reads. Blocks for up to the
    /// timeouts above; returns a status of the table.
    std::int32_t remove(const TessaroKeychain::Query& query) override;
    /// One search over the service (and group), the attributes of the items found fetched with
    /// pipelined calls, and the secrets of the wanted items in one GetSecrets call: three round
    /// trips whatever the number of keys, where copyMatching takes several per key. Same statuses,
    /// group rule and locked-keyring handling as copyMatching.
    ///
    /// Warm reads: when such a read finds an item for every account asked for, the backend
    /// remembers the items' object paths under the service, the group and the set of accounts
    /// (process-wide for shared(); forgotten when the connection is dropped). The next read of the
    /// same accounts asks GetSecrets for those paths directly: one round trip. It falls back to the
    /// full read, which remembers afresh, whenever the shortcut might be wrong: an account was
    /// missing last time (so an item another process adds is always found), the service's bus name
    /// has another owner, a remembered item is missing from the answer (deleted, or locked: the
    /// full read unlocks), the call fails in any way, or the service signalled, before its answer,
    /// that one of the items was deleted or changed or that a collection changed. A value another
    /// process changes in place is read fresh by GetSecrets in any case; remove() forgets the
    /// store's reads.
    /// The signals (ItemDeleted and ItemChanged of the collection, CollectionChanged and
    /// CollectionDeleted of the service) come on the same connection as the answer and before it,
    /// so they cost no extra round trip. They also cover an object path given to a different item
    /// after its own was deleted, and an item whose attributes (its account or group) another
    /// process rewrites in place. A service that does not send them relies on two assumptions:
    /// an object path once gone never names a different item later (gnome-keyring numbers its items
    /// without reuse while it runs; a restarted daemon has another bus name), and an attribute
    /// rewrite in place goes unnoticed until the next full read. The access-group partition is
    /// then only as strong as that: the Secret Service is no boundary between one user's processes
    /// anyway.
    std::int32_t copyMatchingMany(const TessaroKeychain::Query& query, std::span<const std::string> accounts,
                                  TessaroSecretStore::Values& values) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro
