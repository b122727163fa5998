#include <tessaro/sandbox/internal/application.hpp>

#include <algorithm>
#include <initializer_list>
#include <stdexcept>

#include <tessaro/records/exception.hpp>
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

using Query = std::vector<std::pair<std::string, std::string>>;

// The names among `names` that `query` lacks or leaves empty, as "a, b"; empty when none.
std::string missingOf(const Query& query, std::initializer_list<std::string_view> names) {
    std::string missing;
    for (const std::string_view name : names) {
        if (const auto value = queryValue(query, name); value && !value->empty()) continue;
        if (!missing.empty()) missing += ", ";
        missing += name;
    }
    return missing;
}

// Why Backend::checkClient refused, with `missing` (from missingOf) appended.
std::string clientRefusal(const std::string& code, const std::string& clientID, const std::string& redirectURI,
                          const std::string& missing) {
    // The redirect URI without its query, which is the host's and may carry anything.
    std::string reason = code == "invalid_client"
                             ? "client " + loggable(clientID) + " is not registered"
                             : "redirect URI " + loggable(redirectURI.substr(0, redirectURI.find('?'))) +
                                   " is not registered for client " + loggable(clientID);
    if (!missing.empty()) reason += "; missing " + missing;
    return reason;
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
                throw InvalidArgument("unknown vault in grant_vaults: " + id);
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

OpenResult Application::open(std::string_view launchURL, std::string* why) {
    // The URL itself is never logged: its query may carry anything.
    const auto parts = parseURI(std::string(launchURL));
    const bool tessaro = parts && parts->scheme == "tessaro" && (parts->path.empty() || parts->path == "/");
    Refused refused;
    if (!tessaro || (parts->host != "authorize" && parts->host != "request")) {
        refused.emplace("unsupported_launch_url", "not a tessaro://authorize or tessaro://request URL");
    } else if (const auto query = parseQuery(parts->query); !query) {
        refused.emplace("malformed_launch_url", "a malformed %-escape in the query");
    } else {
        refused = parts->host == "authorize" ? openAuthorize(*query) : openRequest(*query);
    }
    if (!refused) return {true, {}};
    const std::string target = tessaro ? "tessaro://" + loggable(parts->host) : "launch URL";
    if (log_) log_("open " + target + ": refused (" + refused->first + "): " + refused->second);
    if (why) *why = refused->second;
    return {false, refused->first};
}

Application::Refused Application::openAuthorize(const Items& query) {
    const auto clientID = queryValue(query, "client_id");
    const auto redirectURI = queryValue(query, "redirect_uri");
    const auto state = queryValue(query, "state");
    const std::string missing = missingOf(query, {"client_id", "redirect_uri", "state"});
    if (!clientID || !redirectURI) {
        return std::pair{std::string(!clientID ? "missing_client_id" : "missing_redirect_uri"), "missing " + missing};
    }
    // An unknown client or an unregistered redirect URI is never called back (RFC 6749 4.1.2.1).
    if (std::string refused = backend_.checkClient(*clientID, *redirectURI); !refused.empty()) {
        return std::pair{refused, clientRefusal(refused, *clientID, *redirectURI, missing)};
    }
    if (!state || state->empty()) return std::pair{std::string("missing_state"), "missing " + missing};

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
        if (log_) {
            std::string wrong =
                missingOf(query, {"code_challenge", "code_challenge_method", "approval_key", "seal_key"});
            wrong = wrong.empty() ? "" : "missing " + wrong;
            auto invalid = [&](const char* name, bool bad) {
                if (bad) wrong += (wrong.empty() ? "invalid " : "; invalid ") + std::string(name);
            };
            invalid("code_challenge_method (not S256)", method && !method->empty() && *method != "S256");
            invalid("code_challenge", challenge && !challenge->empty() && !isKey32(challenge));
            invalid("approval_key", approvalKey && !approvalKey->empty() && !isKey32(approvalKey));
            invalid("seal_key", sealKey && !sealKey->empty() && !isKey32(sealKey));
            log_("authorize: invalid request from client " + loggable(*clientID) + " (" + wrong +
                 "), answered with error=invalid_request");
        }
        return std::nullopt;
    }

    const Policy current = policy();
    CodeBinding binding{*clientID,    *redirectURI, *challenge,
                        *approvalKey, *sealKey,     backend_.grantedVaults(current.grantVaults)};
    const std::string flowState = *state;
    schedule(current.delay, [this, binding, flowState, current] { answerAuthorize(binding, flowState, current); });
    return std::nullopt;
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

Application::Refused Application::openRequest(const Items& query) {
    const auto id = queryValue(query, "id");
    const auto clientID = queryValue(query, "client_id");
    const auto redirectURI = queryValue(query, "redirect_uri");
    const auto state = queryValue(query, "state");
    const std::string missing = missingOf(query, {"id", "client_id", "redirect_uri", "state"});
    if (!id || !clientID || !redirectURI) {
        const char* code = !id ? "missing_id" : !clientID ? "missing_client_id" : "missing_redirect_uri";
        return std::pair{std::string(code), "missing " + missing};
    }
    if (std::string refused = backend_.checkClient(*clientID, *redirectURI); !refused.empty()) {
        return std::pair{refused, clientRefusal(refused, *clientID, *redirectURI, missing)};
    }
    const auto request = backend_.request(*id);
    if (!request) return std::pair{std::string("unknown_request"), "no request " + loggable(*id)};
    if (request->clientID != *clientID) {
        return std::pair{std::string("client_mismatch"),
                         "request " + loggable(*id) + " belongs to another client than " + loggable(*clientID)};
    }
    if (!state || state->empty()) return std::pair{std::string("missing_state"), "missing " + missing};

    RequestFlow flow{*id, *redirectURI, *state, request->op, policy()};
    if (!request->open) {
        // Already decided: the application shows the outcome and returns to the host.
        schedule(0ms, [this, flow] { reportEnded(flow); });
        return std::nullopt;
    }
    schedule(flow.policy.delay, [this, flow] { requestFirstStep(flow); });
    return std::nullopt;
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
