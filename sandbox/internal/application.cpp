#include <tessaro/sandbox/internal/application.hpp>

#include <algorithm>
#include <stdexcept>

#include <tessaro/sandbox/internal/wire.hpp>

namespace tessaro::sandbox::detail {

namespace {

using namespace std::chrono_literals;

constexpr auto patchCheckInterval = 50ms;

bool isKey32(const std::optional<std::string>& text) {
    if (!text) return false;
    const auto bytes = base64urlDecode(*text);
    return bytes && bytes->size() == 32;
}

// What the user is asked to do first for each operation.
std::string firstReason(const std::string& op) {
    if (op == "pick_item") return "pick";
    if (op == "create_item") return "input";
    if (op == "update_item") return "review";
    return "approval";
}

}  // namespace

Application::Application(Backend& backend, Policy policy, Deliver deliver, Log log)
    : backend_(backend), deliver_(std::move(deliver)), log_(std::move(log)), policy_(std::move(policy)) {
    thread_ = std::thread([this] { run(); });
}

Application::~Application() { stop(); }

void Application::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

Policy Application::policy() const {
    std::lock_guard lock(mutex_);
    return policy_;
}

void Application::setPolicy(const Policy& policy) {
    if (policy.grantVaults) {
        const auto vaults = backend_.vaults();
        for (const std::string& id : *policy.grantVaults) {
            if (std::none_of(vaults.begin(), vaults.end(), [&](const Vault& v) { return v.id == id; })) {
                throw std::invalid_argument("unknown vault in grant_vaults: " + id);
            }
        }
    }
    std::lock_guard lock(mutex_);
    policy_ = policy;
}

void Application::schedule(std::chrono::milliseconds after, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        tasks_.emplace(std::chrono::steady_clock::now() + after, std::move(task));
    }
    wake_.notify_all();
}

void Application::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto due = tasks_.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        auto task = std::move(tasks_.begin()->second);
        tasks_.erase(tasks_.begin());
        lock.unlock();
        try {
            task();
        } catch (const std::exception& error) {
            if (log_) log_(std::string("application: a step failed: ") + error.what());
        }
        lock.lock();
    }
}

OpenResult Application::open(std::string_view launchURL) {
    const auto parts = parseURI(std::string(launchURL));
    if (!parts || parts->scheme != "tessaro" || (parts->path != "" && parts->path != "/")) {
        return {false, "unsupported_launch_url"};
    }
    const auto query = parseQuery(parts->query);
    if (!query) return {false, "malformed_launch_url"};
    if (parts->host == "authorize") return openAuthorize(*query);
    if (parts->host == "request") return openRequest(*query);
    return {false, "unsupported_launch_url"};
}

OpenResult Application::openAuthorize(const Items& query) {
    const auto clientID = queryValue(query, "client_id");
    const auto redirectURI = queryValue(query, "redirect_uri");
    const auto state = queryValue(query, "state");
    if (!clientID) return {false, "missing_client_id"};
    if (!redirectURI) return {false, "missing_redirect_uri"};
    // An unknown client or an unregistered redirect URI is never called back (RFC 6749 4.1.2.1).
    if (std::string refused = backend_.checkClient(*clientID, *redirectURI); !refused.empty()) {
        if (log_) log_("authorize: refused (" + refused + ") for client " + *clientID);
        return {false, refused};
    }
    if (!state || state->empty()) return {false, "missing_state"};

    const auto challenge = queryValue(query, "code_challenge");
    const auto method = queryValue(query, "code_challenge_method");
    const auto approvalKey = queryValue(query, "approval_key");
    const auto sealKey = queryValue(query, "seal_key");
    if (method != "S256" || !isKey32(challenge) || !isKey32(approvalKey) || !isKey32(sealKey)) {
        // A malformed request that can be reported goes back to the host as an error.
        const std::string target = *redirectURI;
        const std::string flowState = *state;
        schedule(0ms, [this, target, flowState] {
            callback(target, {{"tq", "authorize"}, {"state", flowState}, {"error", "invalid_request"}});
        });
        if (log_) log_("authorize: invalid request from client " + *clientID);
        return {true, {}};
    }

    const Policy current = policy();
    CodeBinding binding{*clientID, *redirectURI, *challenge, *approvalKey, *sealKey,
                        backend_.grantedVaults(current.grantVaults)};
    const std::string flowState = *state;
    schedule(current.delay, [this, binding, flowState, current] { answerAuthorize(binding, flowState, current); });
    return {true, {}};
}

void Application::answerAuthorize(const CodeBinding& binding, const std::string& state, const Policy& policy) {
    const std::string& client = binding.clientID;
    switch (policy.decision) {
        case Policy::Decision::never:
            if (log_) log_("authorize: client " + client + " left unanswered");
            return;
        case Policy::Decision::deny:
            if (log_) log_("authorize: denied for client " + client);
            return callback(binding.redirectURI, {{"tq", "authorize"}, {"state", state}, {"error", "access_denied"}});
        case Policy::Decision::notSignedIn:
            if (log_) log_("authorize: not signed in (client " + client + ")");
            return callback(binding.redirectURI, {{"tq", "authorize"}, {"state", state}, {"error", "not_signed_in"}});
        case Policy::Decision::approve: break;
    }
    const std::string code = backend_.issueCode(binding);
    if (log_) log_("authorize: approved for client " + client);
    callback(binding.redirectURI, {{"tq", "authorize"}, {"state", state}, {"code", code}});
}

OpenResult Application::openRequest(const Items& query) {
    const auto id = queryValue(query, "id");
    const auto clientID = queryValue(query, "client_id");
    const auto redirectURI = queryValue(query, "redirect_uri");
    const auto state = queryValue(query, "state");
    if (!id) return {false, "missing_id"};
    if (!clientID) return {false, "missing_client_id"};
    if (!redirectURI) return {false, "missing_redirect_uri"};
    if (std::string refused = backend_.checkClient(*clientID, *redirectURI); !refused.empty()) {
        return {false, refused};
    }
    const auto request = backend_.request(*id);
    if (!request) return {false, "unknown_request"};
    if (request->clientID != *clientID) return {false, "client_mismatch"};
    if (!state || state->empty()) return {false, "missing_state"};

    RequestFlow flow{*id, *redirectURI, *state, request->op, policy()};
    if (!request->open) {
        // Already decided: the application shows the outcome and returns to the host.
        schedule(0ms, [this, flow] { reportEnded(flow); });
        return {true, {}};
    }
    schedule(flow.policy.delay, [this, flow] { requestFirstStep(flow); });
    return {true, {}};
}

void Application::requestFirstStep(const RequestFlow& flow) {
    const Items base = {{"tq", "request"}, {"state", flow.state}, {"request_id", flow.requestID}};
    switch (flow.policy.decision) {
        case Policy::Decision::never:
            if (log_) log_("request " + flow.requestID + ": left unanswered");
            return;
        case Policy::Decision::notSignedIn: {
            if (log_) log_("request " + flow.requestID + ": not signed in");
            Items items = base;
            items.emplace_back("error", "not_signed_in");
            return callback(flow.redirectURI, items);
        }
        case Policy::Decision::deny: {
            const std::string state = backend_.deny(flow.requestID, "user_denied");
            if (log_) log_("request " + flow.requestID + " (" + flow.op + "): " + state);
            if (state != "denied") return reportEnded(flow);
            Items items = base;
            items.emplace_back("status", "denied");
            items.emplace_back("error", "access_denied");
            return callback(flow.redirectURI, items);
        }
        case Policy::Decision::approve: break;
    }
    if (!backend_.setWaiting(flow.requestID, "user", firstReason(flow.op))) return reportEnded(flow);
    schedule(flow.policy.step, [this, flow] {
        if (flow.op == "update_item") {
            // The change is reviewed once its sealed values have arrived; bounded by the
            // request's expiry, which setWaiting and request() enforce.
            requestAwaitPatch(flow, 1'000'000);
        } else {
            requestDeviceStep(flow);
        }
    });
}

void Application::requestAwaitPatch(const RequestFlow& flow, int checksLeft) {
    const auto request = backend_.request(flow.requestID);
    if (!request || !request->open) return reportEnded(flow);
    if (backend_.hasPatch(flow.requestID) || checksLeft <= 0) return requestDeviceStep(flow);
    schedule(std::chrono::duration_cast<std::chrono::milliseconds>(patchCheckInterval),
             [this, flow, checksLeft] { requestAwaitPatch(flow, checksLeft - 1); });
}

void Application::requestDeviceStep(const RequestFlow& flow) {
    // Approved: a device holding the vault keys unlocks and carries the request out.
    if (!backend_.setWaiting(flow.requestID, "device", "unlock")) return reportEnded(flow);
    schedule(flow.policy.step, [this, flow] { requestFinish(flow); });
}

void Application::requestFinish(const RequestFlow& flow) {
    const std::string state = backend_.complete(flow.requestID, flow.policy);
    if (log_) log_("request " + flow.requestID + " (" + flow.op + "): " + state);
    reportEnded(flow);
}

void Application::reportEnded(const RequestFlow& flow) {
    const auto request = backend_.request(flow.requestID);
    // A request the host cancelled needs no answer; an open one has nothing to report yet.
    if (!request || request->open || request->state == "cancelled") return;
    callback(flow.redirectURI,
             {{"tq", "request"}, {"state", flow.state}, {"request_id", flow.requestID}, {"status", request->state}});
}

void Application::callback(const std::string& redirectURI, const Items& items) {
    const auto parts = parseURI(redirectURI);
    const std::string separator = parts && !parts->query.empty() ? "&" : "?";
    const std::string url = redirectURI + separator + buildQuery(items);
    try {
        if (deliver_) deliver_(url);
    } catch (const std::exception& error) {
        if (log_) log_(std::string("callback delivery failed: ") + error.what());
    }
}

}  // namespace tessaro::sandbox::detail
