#pragma once
// The serialisation of one store's session: the refresh gate, the session-write lock, and the
// writes that go through it.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include <tessaro/api/tessaro_api.hpp>
#include <tessaro/client/internal/session.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/stores/internal/process_lock.hpp>
#include <tessaro/stores/secret_store.hpp>

namespace tessaro::detail {

// A mutual exclusion whose wait ends on a stop request or a deadline: a flag under a mutex (a
// timed mutex would also do, but ThreadSanitizer cannot follow its timed lock).
class StopGate {
public:
    // Waits for the gate; false when `stop` is requested or `deadline` passes first.
    bool enter(std::stop_token stop, ProcessLock::Deadline deadline = ProcessLock::Deadline::max());
    void leave();

private:
    std::mutex mutex_;
    std::condition_variable_any free_;
    bool busy_ = false;
};

// A held lock of a store: the in-process gate and, for a store that other processes share, its
// file lock. Released on destruction; movable, so a background thread can take it over.
class SessionLock {
public:
    SessionLock(std::shared_ptr<StopGate> gate, std::optional<ProcessLock> file)
        : gate_(std::move(gate)), file_(std::move(file)) {}
    SessionLock(SessionLock&& other) noexcept = default;
    SessionLock& operator=(SessionLock&&) = delete;
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;
    ~SessionLock() { release(); }
    void release() noexcept;

private:
    std::shared_ptr<StopGate> gate_;
    std::optional<ProcessLock> file_;
};

// One store's session as every client of this process built on that store object shares it (one
// keeper per store object), with two distinct locks:
// - the refresh gate: one token refresh at a time, held across the refresh's network call, so that
//   a refresh token is presented once;
// - the session-write lock: short, held for the store calls of one write and never across the
//   network, taken by every write of session entries (the authorization's save, a refresh's
//   tokens, the identity key, every wipe). A write on behalf of a grant first re-reads the stored
//   grant and is skipped when it is no longer that grant.
// Across processes each lock adds the file lock of the store's lockName() (its two purposes).
// Thread-safe. Every member blocks on the store and, while another writer holds it, on the lock.
class SessionKeeper {
public:
    static std::shared_ptr<SessionKeeper> of(std::shared_ptr<TessaroSecretStore> store);
    explicit SessionKeeper(std::shared_ptr<TessaroSecretStore> store) : store_(std::move(store)) {}

    TessaroSecretStore& store() const noexcept { return *store_; }
    std::optional<Session> load() const { return loadSession(*store_); }

    // The refresh gate; no value when `stop` is requested first. Throws std::system_error when the
    // lock file cannot be used.
    std::optional<SessionLock> holdRefresh(std::stop_token stop);
    // The session-write lock; no value when `stop` is requested or `deadline` passes first.
    std::optional<SessionLock> holdWrite(std::stop_token stop,
                                         ProcessLock::Deadline deadline = ProcessLock::Deadline::max());

    // Runs `write` under the session-write lock when the stored grant is still `grantID`: true when
    // it ran, false when the grant is another or none (nothing written). Throws cancelled when
    // `stop` is requested while waiting for the lock, and whatever `write` or the store throws.
    bool writeForGrant(const std::string& grantID, const std::function<void(TessaroSecretStore&)>& write,
                       std::stop_token stop = {});
    // Replaces the stored session with `session`, whatever grant is stored (the authorization's
    // save, which alone changes the grant). Failures as saveSession.
    void save(const Session& session);
    // Wipes the stored session when it is still `grantID`'s; store failures are ignored.
    void wipeGrant(const std::string& grantID) noexcept;
    // Wipes whatever is stored, under the write lock when it can be had within a few seconds and
    // without it otherwise; store failures are ignored.
    void wipeAll() noexcept;

private:
    std::optional<SessionLock> hold(const std::shared_ptr<StopGate>& gate, ProcessLock::Purpose purpose,
                                    std::stop_token stop, ProcessLock::Deadline deadline);

    const std::shared_ptr<TessaroSecretStore> store_;
    const std::shared_ptr<StopGate> refreshGate_ = std::make_shared<StopGate>();
    const std::shared_ptr<StopGate> writeGate_ = std::make_shared<StopGate>();
};

// What a server error means for the caller; a revocation code also wipes `grantID`'s session.
TessaroError mapAndMaybeWipe(const TessaroAPI::APIError& error, SessionKeeper& sessions, const std::string& grantID);

// Whether `code` is one of the server's codes for a grant or refresh token that is gone.
bool isRevocationCode(const std::string& code);

}  // namespace tessaro::detail
