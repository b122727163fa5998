// tessaro-sandbox as processes: every sandbox records itself in a file of its own, and `open` and
// `policy` without --origin reach the one that runs, or refuse naming every origin; and
// `register-handler` writes only into the user's XDG folders. The sandboxes run on loopback with a
// private XDG_RUNTIME_DIR; every wait is bounded and every process is stopped before the test ends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <latch>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <testing/child_process.hpp>
#include <testing/eventually.hpp>
#include <testing/temporary_directory.hpp>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using tessaro::testing::ChildProcess;
using tessaro::testing::TemporaryDirectory;

// A launch URL the demo client may send; the keys are well formed (32 zero bytes).
std::string authorizeURL(const std::string& state) {
    const std::string key(43, 'A');
    return "tessaro://authorize?client_id=pmc_tessarodemo&redirect_uri=tessarodemo%3A%2F%2Ftessaro%2Fcallback&state=" +
           state + "&code_challenge=" + key + "&code_challenge_method=S256&approval_key=" + key + "&seal_key=" + key;
}

// A tessaro-sandbox process, its standard output and error on one pipe.
ChildProcess sandboxProcess(const std::vector<std::string>& arguments, const fs::path& runtimeDir) {
    return {TESSARO_SANDBOX_EXE,
            arguments,
            {.environment = {"XDG_RUNTIME_DIR=" + runtimeDir.string(), "TESSARO_SANDBOX_ORIGIN"}, .mergeOutput = true}};
}

// A served sandbox and its origin, read from its first line; `more` arguments (a state file).
struct Served {
    explicit Served(const fs::path& runtimeDir, std::vector<std::string> more = {})
        : process(sandboxProcess((more.insert(more.begin(), {"--quiet", "--deliver", "print"}), more), runtimeDir)) {
        const std::string line = process.lineWith("TESSARO_SANDBOX_ORIGIN=").value_or("");
        origin = line.substr(line.find('=') + 1);  // empty without the line
    }
    ChildProcess process;
    std::string origin;
};

std::pair<int, std::string> run(const std::vector<std::string>& arguments, const fs::path& runtimeDir) {
    const auto result = sandboxProcess(arguments, runtimeDir).wait(10s);  // it ends on its own
    return {result.status, result.out};
}

std::set<std::string> namesIn(const fs::path& directory) {
    std::set<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(directory, ignored))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(Instances, OpenAndPolicyReachTheOneRunningSandboxAndRefuseAmongSeveral) {
    TemporaryDirectory runtime;
    const fs::path states = runtime.path() / "tessaro-sandbox";

    auto [status, output] = run({"open", authorizeURL("s0")}, runtime.path());
    EXPECT_EQ(status, 2);
    EXPECT_NE(output.find("no running sandbox"), std::string::npos) << output;

    Served first(runtime.path());
    Served second(runtime.path());
    ASSERT_FALSE(first.origin.empty());
    ASSERT_FALSE(second.origin.empty());
    ASSERT_NE(first.origin, second.origin);

    // One private file each, named by pid.
    EXPECT_EQ(fs::status(states).permissions(), fs::perms::owner_all);
    const std::set<std::string> both = {std::to_string(first.process.pid()) + ".json",
                                        std::to_string(second.process.pid()) + ".json"};
    EXPECT_EQ(namesIn(states), both);
    for (const std::string& name : both) {
        EXPECT_EQ(fs::status(states / name).permissions(), fs::perms::owner_read | fs::perms::owner_write) << name;
    }

    for (const std::vector<std::string>& command : {std::vector<std::string>{"open", authorizeURL("s1")},
                                                    std::vector<std::string>{"policy", "--decision", "deny"}}) {
        std::tie(status, output) = run(command, runtime.path());
        EXPECT_EQ(status, 2) << command.front();
        EXPECT_NE(output.find(first.origin), std::string::npos) << output;
        EXPECT_NE(output.find(second.origin), std::string::npos) << output;
    }

    // A sandbox killed outright leaves its file behind; it is passed over and cleared away.
    second.process.signal(SIGKILL);
    second.process.wait(10s);
    std::tie(status, output) = run({"open", authorizeURL("s2")}, runtime.path());
    EXPECT_EQ(status, 0) << output;
    const auto callback = first.process.lineWith("state=s2");
    ASSERT_TRUE(callback.has_value());
    EXPECT_TRUE(callback->starts_with("callback tessarodemo://tessaro/callback?")) << *callback;
    EXPECT_EQ(namesIn(states), std::set<std::string>{std::to_string(first.process.pid()) + ".json"});

    // Stopped by a signal, a sandbox removes its own file.
    first.process.signal(SIGTERM);
    EXPECT_EQ(first.process.wait(10s).status, 0);
    EXPECT_TRUE(namesIn(states).empty());
    std::tie(status, output) = run({"policy", "--decision", "deny"}, runtime.path());
    EXPECT_EQ(status, 2);
    EXPECT_NE(output.find("no running sandbox"), std::string::npos) << output;
}

TEST(Instances, AnExplicitStateFileStaysApartAndAPlantedSymlinkIsNotFollowed) {
    TemporaryDirectory runtime, elsewhere;
    // Someone else's directory in place of the state directory: nothing may be written through it.
    fs::create_directory_symlink(elsewhere.path(), runtime.path() / "tessaro-sandbox");

    const fs::path explicitFile = runtime.path() / "one.json";
    Served recorded(runtime.path(), {"--state-file", explicitFile.string()});
    Served unrecorded(runtime.path());
    ASSERT_FALSE(recorded.origin.empty());
    ASSERT_FALSE(unrecorded.origin.empty());
    EXPECT_TRUE(namesIn(elsewhere.path()).empty());
    EXPECT_EQ(fs::symlink_status(explicitFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    auto [status, output] = run({"open", "--state-file", explicitFile.string(), authorizeURL("e1")}, runtime.path());
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(recorded.process.lineWith("state=e1").has_value());
    std::tie(status, output) = run({"open", authorizeURL("e2")}, runtime.path());
    EXPECT_EQ(status, 2);
    EXPECT_NE(output.find("no running sandbox"), std::string::npos) << output;

    recorded.process.signal(SIGTERM);
    EXPECT_EQ(recorded.process.wait(10s).status, 0);
    unrecorded.process.signal(SIGTERM);
    EXPECT_EQ(unrecorded.process.wait(10s).status, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(explicitFile)));
}

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The entry is copied with its Exec naming this very program, and mimeapps.list gains the one
// default, replacing the old one, with every other line kept; without XDG_DATA_HOME and
// XDG_CONFIG_HOME the folders under HOME are made. An entry for another scheme is refused.
TEST(RegisterHandler, CopiesTheEntryAndSetsOnlyTheTessaroDefault) {
    TemporaryDirectory home;
    const fs::path entry = home.path() / "tessaro-sandbox.desktop";
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=Sandbox\nExec=tessaro-sandbox open %u\n"
                            "MimeType=x-scheme-handler/tessaro;\n";
    const std::string others =
        "[Added Associations]\nx-scheme-handler/tessaro=old.desktop;\n\n"
        "[Default Applications]\n";
    fs::create_directories(home.path() / "config");
    std::ofstream(home.path() / "config/mimeapps.list")
        << others << "text/html=browser.desktop\nx-scheme-handler/tessaro = old.desktop\n# kept\n";
    const auto registered = [&](const std::vector<std::string>& environment, const fs::path& desktopFile) {
        return ChildProcess(TESSARO_SANDBOX_EXE, {"register-handler", "--desktop-file", desktopFile.string()},
                            {.environment = environment})
            .wait(10s);
    };

    auto result = registered(
        {"XDG_DATA_HOME=" + (home.path() / "data").string(), "XDG_CONFIG_HOME=" + (home.path() / "config").string()},
        entry);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("x-scheme-handler/tessaro=tessaro-sandbox.desktop"), std::string::npos) << result.out;
    EXPECT_EQ(contentsOf(home.path() / "config/mimeapps.list"),
              others + "x-scheme-handler/tessaro=tessaro-sandbox.desktop\ntext/html=browser.desktop\n# kept\n");
    const std::string copy = contentsOf(home.path() / "data/applications/tessaro-sandbox.desktop");
    EXPECT_NE(copy.find("\nExec=" + fs::canonical(TESSARO_SANDBOX_EXE).string() + " open %u\n"), std::string::npos)
        << copy;

    const fs::path bare = home.path() / "bare";
    result = registered({"HOME=" + bare.string(), "XDG_DATA_HOME", "XDG_CONFIG_HOME"}, entry);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(fs::exists(bare / ".local/share/applications/tessaro-sandbox.desktop"));
    EXPECT_EQ(contentsOf(bare / ".config/mimeapps.list"),
              "[Default Applications]\nx-scheme-handler/tessaro=tessaro-sandbox.desktop\n");

    const fs::path demo = home.path() / "demo.desktop";
    std::ofstream(demo) << "[Desktop Entry]\nExec=demo %u\nMimeType=x-scheme-handler/tessarodemo;\n";
    const fs::path refused = home.path() / "refused";
    result = registered({"HOME=" + refused.string(), "XDG_DATA_HOME", "XDG_CONFIG_HOME"}, demo);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("not a desktop entry for tessaro:// URLs"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(refused));
}

// A burst of new connections, as from a host whose every POST comes on a fresh one: 64 connect
// while the sandbox is stopped, so nothing is accepted and every connection must wait in the
// listen backlog (a backlog of 5 leaves the rest unconnected for as long as the sandbox stands
// still); once it runs again, each is answered.
TEST(Server, SixtyFourConnectionsAtOnceWaitInTheBacklogAndAreAllAnswered) {
    TemporaryDirectory runtime;
    Served served(runtime.path());
    ASSERT_FALSE(served.origin.empty());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::stoi(served.origin.substr(served.origin.rfind(':') + 1)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    served.process.signal(SIGSTOP);

    constexpr int burst = 64;
    std::atomic<int> connected = 0, answered = 0;
    std::latch resumed(1);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < burst; ++i) {
            threads.emplace_back([&] {
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                const timeval limit{.tv_sec = 20, .tv_usec = 0};  // bounds the connect, send and read
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) ++connected;
                resumed.wait();
                const std::string request =
                    "GET /api/oauth/account HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
                char head[9] = {};
                if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()) &&
                    ::recv(fd, head, 8, MSG_WAITALL) == 8 && std::string(head) == "HTTP/1.1")
                    ++answered;
                ::close(fd);
            });
        }
        EXPECT_TRUE(tessaro::testing::eventually([&] { return connected == burst; })) << connected << " connected";
        served.process.signal(SIGCONT);
        resumed.count_down();
    }
    EXPECT_EQ(answered, burst);
    served.process.signal(SIGTERM);
    const auto ended = served.process.wait(10s);
    EXPECT_EQ(ended.status, 0) << ended.err;
}

}  // namespace
