// The desktop app switcher: launches through GIO in child processes of this binary that see only a
// temporary application database, and the foreground registrations in process.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <testing/child_process.hpp>
#include <testing/desktop_folders.hpp>
#include <testing/eventually.hpp>
#include <tessaro/client/app_switching.hpp>
#include <tessaro/records/tessaro_error.hpp>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Shell and URL specials that must reach the handler untouched.
const std::string launchText =
    "tessaro://authorize?client_id=pmc_demo&redirect_uri=tessarodemo%3A%2F%2Ftessaro%2Fcallback"
    "&state=a'b$HOME;c%20d&code_challenge=E9Mel_-x";
const char* const downloadText = "https://downloads.example/tessaro?from=switcher-test";

// In a child started below: opens the launch URL with the token (if any) of TESSARO_SWITCHER_TOKEN;
// 0 when open did what TESSARO_SWITCHER_EXPECTED says.
const int childHook = testing::runChildMode("switcher", [] {
    const char* token = std::getenv("TESSARO_SWITCHER_TOKEN");
    const std::string expected = std::getenv("TESSARO_SWITCHER_EXPECTED");
    TessaroSystemAppSwitcher switcher(
        token ? TessaroSystemAppSwitcher::ActivationTokenSource([token] { return std::string(token); }) : nullptr);
    std::stop_source stop;
    if (expected == "stopped") stop.request_stop();
    std::string outcome = "opens";
    try {
        switcher.open(*URL::parse(launchText), *URL::parse(downloadText), stop.get_token());
    } catch (const TessaroError& error) {
        const bool notInstalled =
            error.code() == TessaroError::Code::notInstalled && error.downloadURL() == URL::parse(downloadText);
        outcome = error.code() == TessaroError::Code::cancelled ? "stopped" : notInstalled ? "not-installed" : "other";
    }
    return outcome == expected ? 0 : 1;
});

// The handler: writes what it got beside itself, then renames it into place for the test to find.
const char* const handlerScript =
    R"(d=${0%/*}; printf '%s\n%s\n%s\n%s' "$#" "$1" "${XDG_ACTIVATION_TOKEN-unset}" "${DESKTOP_STARTUP_ID-unset}")"
    R"( >"$d/part" && /bin/mv "$d/part" "$d/received")";

struct LaunchCase {
    const char* name;
    const char* scheme;  // of the installed default handler; none: no handler
    const char* entry;   // further lines of its desktop entry
    const char* expected;
    const char* token;  // what the host's token source gives; none: no source
    // The handler's XDG_ACTIVATION_TOKEN and DESKTOP_STARTUP_ID (it gets the URL alone); none: no launch.
    const char* received;
} const launchCases[] = {
    {"stale tokens are not passed on", "tessaro", "", "opens", nullptr, "unset\nunset"},
    {"token as activation token", "tessaro", "", "opens", "tok-1", "tok-1\nunset"},
    {"token as startup ID too", "tessaro", "StartupNotify=true\n", "opens", "tok-2", "tok-2\ntok-2"},
    {"no handler", nullptr, "", "not-installed", nullptr, nullptr},
    {"handler of another scheme", "other", "", "not-installed", nullptr, nullptr},
    {"launch fails: no terminal", "tessaro", "Terminal=true\n", "not-installed", nullptr, nullptr},
    {"stopped before opening", "tessaro", "", "stopped", nullptr, nullptr},
};

TEST(SystemAppSwitcherLaunch, OpensTheDefaultHandlerOrFailsAsNotInstalled) {
    for (const auto& c : launchCases) {
        SCOPED_TRACE(c.name);
        const testing::DesktopFolders desktop;
        const fs::path& dir = desktop.path();
        std::ofstream(dir / "handler.sh") << handlerScript;
        if (c.scheme) desktop.add({c.scheme, "/bin/sh " + (dir / "handler.sh").string() + " %u", c.entry});
        // Only this directory's applications; no session bus, no terminal on PATH, stale tokens.
        std::vector<std::string> environment = desktop.environment();
        environment.insert(environment.begin(),
                           {"XDG_*", "TESSARO_*", "DBUS_*", "GIO_*", "DESKTOP_*", "DISPLAY", "WAYLAND_*"});
        environment.insert(environment.end(),
                           {"PATH=" + (dir / "empty").string(), "GIO_USE_VFS=local",
                            "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/tessaro/bus", "XDG_ACTIVATION_TOKEN=stale",
                            "DESKTOP_STARTUP_ID=stale", std::string("TESSARO_SWITCHER_EXPECTED=") + c.expected});
        if (c.token) environment.push_back(std::string("TESSARO_SWITCHER_TOKEN=") + c.token);
        EXPECT_EQ(testing::runSelf("switcher", environment), 0);

        // The handler runs detached from the child; without a launch nothing may arrive.
        testing::eventually([&] { return fs::exists(dir / "received"); }, c.received ? 10s : 500ms);
        std::ifstream in(dir / "received");
        EXPECT_EQ(in ? std::optional(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt,
                  c.received ? std::optional("1\n" + launchText + "\n" + c.received) : std::nullopt);
    }
}

using Registration = TessaroAppSwitching::Registration;

// Registering, ending, moving and move-assigning registrations between activations.
TEST(ForegroundRegistration, HandlersRunOncePerActivationWhileRegistered) {
    auto switcher = std::make_shared<TessaroSystemAppSwitcher>();
    std::array<int, 3> calls{};
    std::array<Registration, 3> regs;
    for (std::size_t i = 0; i < 3; ++i)
        regs[i] = switcher->onForeground([&calls, i] { ++calls[i]; });
    Registration moved;
    const std::vector<std::pair<std::function<void()>, std::array<int, 3>>> steps = {
        {[] {}, {1, 1, 1}},
        {[&] { regs[0].reset(); }, {1, 2, 2}},
        {[&] { moved = std::move(regs[1]); }, {1, 3, 3}},  // the moved-from object is empty
        {[&] { regs[1] = Registration(); }, {1, 4, 4}},    // so assigning over it ends nothing
        {[&] { moved = std::move(regs[2]); }, {1, 4, 5}},  // assigning over `moved` ends #1
    };
    for (std::size_t step = 0; step < steps.size(); ++step) {
        steps[step].first();
        switcher->applicationDidBecomeActive();
        EXPECT_EQ(calls, steps[step].second) << "step " << step;
    }
    switcher.reset();  // a registration may outlive its switcher
}

// During one activation: A ends its own registration, B ends C's before C's turn, D adds E (called
// from the next activation on); a handler that throws does not keep the others from running. An
// owner whose last reference dies inside its own handler ends its registration from there.
TEST(ForegroundRegistration, HandlersMayEndAndAddRegistrationsWhileCalled) {
    TessaroSystemAppSwitcher switcher;
    std::map<char, int> calls;
    Registration a, b, c, d, e;
    a = switcher.onForeground([&] {
        ++calls['A'];
        a.reset();
    });
    b = switcher.onForeground([&] {
        ++calls['B'];
        c.reset();
    });
    c = switcher.onForeground([&] { ++calls['C']; });
    d = switcher.onForeground([&] {
        if (!e) e = switcher.onForeground([&] { ++calls['E']; });
        throw std::runtime_error("D");
    });
    auto owner = std::make_shared<Registration>();  // its handler holds it weakly
    *owner = switcher.onForeground([&, weak = std::weak_ptr(owner)] {
        const auto self = weak.lock();  // the last reference once `owner` lets go
        owner.reset();
        if (self) ++calls['O'];
    });
    EXPECT_THROW(switcher.applicationDidBecomeActive(), std::runtime_error);
    EXPECT_EQ(calls, (std::map<char, int>{{'A', 1}, {'B', 1}, {'O', 1}}));
    EXPECT_THROW(switcher.applicationDidBecomeActive(), std::runtime_error);
    EXPECT_EQ(calls, (std::map<char, int>{{'A', 1}, {'B', 2}, {'E', 1}, {'O', 1}}));
}

// Ending a registration on one thread while its handler runs on another returns only after that
// call has finished.
TEST(ForegroundRegistration, EndingWaitsForACallRunningOnAnotherThread) {
    TessaroSystemAppSwitcher switcher;
    std::atomic<bool> entered = false, ending = false, finished = false;
    auto registration = switcher.onForeground([&] {
        entered = true;
        while (!ending)
            std::this_thread::yield();
        std::this_thread::sleep_for(50ms);
        finished = true;
    });
    std::jthread activation([&] { switcher.applicationDidBecomeActive(); });
    while (!entered)
        std::this_thread::yield();
    ending = true;
    registration.reset();
    EXPECT_TRUE(finished);
}

// Activations on two threads while four threads register and end handlers whose state is freed
// right after the registration ends: a call after the end would touch freed memory.
TEST(ForegroundRegistration, ConcurrentActivationsAndRegistrationChurn) {
    TessaroSystemAppSwitcher switcher;
    const auto activate = [&](std::stop_token stop) {
        while (!stop.stop_requested())
            switcher.applicationDidBecomeActive();
    };
    const std::jthread one(activate), two(activate);  // stopped and joined after the churn below
    std::vector<std::jthread> churn;
    for (int i = 0; i < 4; ++i) {
        churn.emplace_back([&] {
            for (int round = 0; round < 500; ++round) {
                auto state = std::make_unique<std::atomic<int>>(0);
                auto registration = switcher.onForeground([counter = state.get()] { ++*counter; });
                if (round % 2) std::this_thread::yield();
                registration.reset();
                state.reset();
            }
        });
    }
}

}  // namespace
}  // namespace tessaro
