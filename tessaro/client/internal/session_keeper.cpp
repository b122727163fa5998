#include <tessaro/client/internal/session_keeper.hpp>

#include <algorithm>
#include <map>

#include <tessaro/client/tessaro_client.hpp>

namespace tessaro::detail {

namespace {
// How long a reset waits for another writer before it wipes without the lock.
constexpr auto resetLockWait = std::chrono::seconds(5);
}  // namespace

bool StopGate::enter(std::stop_token stop, ProcessLock::Deadline deadline) {
    std::unique_lock guard(mutex_);
    const auto isFree = [&] { return !busy_; };
    const bool entered = deadline == ProcessLock::Deadline::max() ? free_.wait(guard, stop, isFree)
                                                                  : free_.wait_until(guard, stop, deadline, isFree);
    if (!entered) return false;
    busy_ = true;
    return true;
}

void StopGate::leave() {
    {
        std::lock_guard guard(mutex_);
        busy_ = false;
    }
    free_.notify_one();
}

void SessionLock::release() noexcept {
    file_.reset();
    if (auto gate = std::exchange(gate_, nullptr)) gate->leave();
}

std::shared_ptr<SessionKeeper> SessionKeeper::of(std::shared_ptr<TessaroSecretStore> store) {
    static std::mutex registryLock;
    static std::map<const TessaroSecretStore*, std::weak_ptr<SessionKeeper>> registry;
    std::lock_guard guard(registryLock);
    std::erase_if(registry, [](const auto& entry) { return entry.second.expired(); });
    // A keeper holds its store, so the address cannot be reused by another store while it lives.
    auto& slot = registry[store.get()];
    auto keeper = slot.lock();
    if (!keeper) slot = keeper = std::make_shared<SessionKeeper>(std::move(store));
    return keeper;
}

std::optional<SessionLock> SessionKeeper::hold(const std::shared_ptr<StopGate>& gate, ProcessLock::Purpose purpose,
                                               std::stop_token stop, ProcessLock::Deadline deadline) {
    if (!gate->enter(stop, deadline)) return std::nullopt;
    std::optional<ProcessLock> file;
    try {
        if (const auto name = store_->lockName()) {
            file = ProcessLock::acquire(*name, stop, purpose, deadline);
            if (!file) {
                gate->leave();
                return std::nullopt;
            }
        }
    } catch (...) {
        gate->leave();
        throw;
    }
    return SessionLock(gate, std::move(file));
}

std::optional<SessionLock> SessionKeeper::holdRefresh(std::stop_token stop) {
    return hold(refreshGate_, ProcessLock::Purpose::refresh, stop, ProcessLock::Deadline::max());
}

std::optional<SessionLock> SessionKeeper::holdWrite(std::stop_token stop, ProcessLock::Deadline deadline) {
    return hold(writeGate_, ProcessLock::Purpose::sessionWrite, stop, deadline);
}

bool SessionKeeper::writeForGrant(const std::string& grantID, const std::function<void(TessaroSecretStore&)>& write,
                                  std::stop_token stop) {
    const auto held = holdWrite(stop);
    if (!held) throw TessaroError::cancelled();
    if (store_->readString(sessionKey::grantID) != grantID) return false;
    write(*store_);
    return true;
}

void SessionKeeper::save(const Session& session) {
    const auto held = holdWrite({});
    saveSession(*store_, session);
}

void SessionKeeper::wipeGrant(const std::string& grantID) noexcept {
    try {
        writeForGrant(grantID, [](TessaroSecretStore& store) { store.deleteAll(); });
    } catch (...) {
        // A wipe that fails leaves the store as it was; nothing more can be done here.
    }
}

void SessionKeeper::wipeAll() noexcept {
    const auto held = [&]() -> std::optional<SessionLock> {
        try {
            return holdWrite({}, std::chrono::steady_clock::now() + resetLockWait);
        } catch (...) {
            return std::nullopt;  // no lock to be had: the wipe goes ahead without it
        }
    }();
    try {
        store_->deleteAll();
    } catch (...) {
        // As above.
    }
}

TessaroError mapAndMaybeWipe(const TessaroAPI::APIError& error, SessionKeeper& sessions, const std::string& grantID) {
    if (error.kind() == TessaroAPI::APIError::Kind::decoding) return TessaroError::protocol("malformed_response");
    if (isRevocationCode(error.code())) {
        sessions.wipeGrant(grantID);
        return TessaroError::revoked();
    }
    return TessaroError::protocol(error.code());
}

bool isRevocationCode(const std::string& code) {
    const auto& codes = TessaroClient::revocationCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

}  // namespace tessaro::detail
