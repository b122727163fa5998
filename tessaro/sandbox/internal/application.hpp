#pragma once
// The simulated password-manager application: takes tessaro://authorize and tessaro://request
// launch URLs, answers them as the current policy says, moves requests through their waiting
// states and calls the host back on its redirect URI. It acts on one thread of its own, driven
// by a timer queue, so delays never block the HTTP server. open() and the policy accessors are
// safe from any thread; stop() joins the thread (bounded: a task in progress is one step).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <tessaro/sandbox/internal/backend.hpp>
#include <tessaro/sandbox/policy.hpp>
#include <tessaro/sandbox/sandbox.hpp>

namespace tessaro::sandbox::detail {

class Application {
public:
    using Deliver = std::function<void(const std::string& callbackURL)>;
    using Log = std::function<void(const std::string& line)>;

    Application(Backend& backend, Policy policy, Deliver deliver, Log log);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Checks the launch URL at once (refusing what cannot be answered on the redirect URI) and
    // schedules the user's answer. A refusal is logged with its reason (every missing parameter
    // named), which `why`, when given, receives too. Never throws except std::bad_alloc.
    OpenResult open(std::string_view launchURL, std::string* why = nullptr);

    Policy policy() const;
    // Throws tessaro::InvalidArgument when the policy names a vault the account does not have.
    void setPolicy(const Policy& policy);

    void stop();

private:
    using Items = std::vector<std::pair<std::string, std::string>>;
    struct RequestFlow {
        std::string requestID;
        std::string redirectURI;
        std::string state;
        std::string op;
        Policy policy;
    };

    // Empty when accepted; otherwise the refusal and its reason.
    using Refused = std::optional<std::pair<std::string, std::string>>;
    Refused openAuthorize(const Items& query);
    Refused openRequest(const Items& query);
    void answerAuthorize(const CodeBinding& binding, const std::string& state, const Policy& policy);
    void requestFirstStep(const RequestFlow& flow);
    void requestAwaitPatch(const RequestFlow& flow, int checksLeft);
    void requestDeviceStep(const RequestFlow& flow);
    void requestFinish(const RequestFlow& flow);
    void reportEnded(const RequestFlow& flow);
    void callback(const std::string& redirectURI, const Items& items);
    void schedule(std::chrono::milliseconds after, std::function<void()> task);
    void run();

    Backend& backend_;
    Deliver deliver_;
    Log log_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Policy policy_;
    bool stopping_ = false;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
    std::thread thread_;
};

// Delivers a callback URL as a desktop would: an HTTP GET for a loopback http redirect URI,
// the desktop's URL handler (GIO) for any other scheme; https and non-loopback http are never
// contacted. Failures are reported through `log`; never throws.
void deliverToHost(const std::string& callbackURL, const Application::Log& log);

}  // namespace tessaro::sandbox::detail
