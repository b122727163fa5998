// The tessaro binary as a user runs it: against an in-process sandbox that calls its loopback
// receiver back over HTTP, with `tessaro-sandbox open` as the application launcher, the session in
// the private keyring, and, for the status line, a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/sandbox/sandbox.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>

extern char** environ;

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using sandbox::Policy;
using namespace std::chrono_literals;

struct Result {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out;
    std::string err;
    std::optional<bool> echo;  // on a pseudo-terminal: whether it echoes once the process is gone
};

// A running tessaro with its output captured; stderr (and, with terminalInput, stdin) may go to a
// pseudo-terminal instead.
class Process {
public:
    Process(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
            const std::string& input, bool terminal = false, bool terminalInput = false) {
        int out[2], err[2], in[2];
        if (pipe(out) != 0 || pipe(in) != 0) throw std::runtime_error("pipe");
        int errSlave = -1;
        if (terminal) {
            if (openpty(&errRead_, &errSlave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        } else {
            if (pipe(err) != 0) throw std::runtime_error("pipe");
            errRead_ = err[0];
            errSlave = err[1];
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, terminal && terminalInput ? errSlave : in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errSlave, 2);
        for (const int fd : {in[0], in[1], out[0], out[1], errRead_, errSlave})
            posix_spawn_file_actions_addclose(&actions, fd);

        std::map<std::string, std::string> merged;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            merged[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
        }
        for (const auto& [key, value] : environment)
            merged[key] = value;
        std::vector<std::string> envText;
        for (const auto& [key, value] : merged)
            envText.push_back(key + "=" + value);
        std::vector<char*> envp;
        for (auto& text : envText)
            envp.push_back(text.data());
        envp.push_back(nullptr);
        std::vector<std::string> argText = {TESSARO_CLI_EXE};
        argText.insert(argText.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& text : argText)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, TESSARO_CLI_EXE, &actions, nullptr, argv.data(), envp.data()) != 0) {
            throw std::runtime_error("cannot start tessaro");
        }
        posix_spawn_file_actions_destroy(&actions);
        terminal_ = terminal;
        close(in[0]);
        close(out[1]);
        close(errSlave);
        outRead_ = out[0];
        (void)!write(in[1], input.data(), input.size());
        close(in[1]);
        reader_ = std::thread([this] { readAll(); });
    }
    ~Process() {
        if (reader_.joinable()) {
            kill(pid_, SIGKILL);
            wait();
        }
    }

    void signal(int number) { kill(pid_, number); }
    // Whether the pseudo-terminal echoes what is typed.
    bool echoes() const {
        termios settings{};
        return tcgetattr(errRead_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    }
    std::string errSoFar() {
        std::lock_guard guard(mutex_);
        return result_.err;
    }
    // Waits (bounded: killed after 60 s) and returns what the process did.
    Result wait() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
            std::this_thread::sleep_for(10ms);
        }
        reader_.join();
        if (terminal_) result_.echo = echoes();
        close(outRead_);
        close(errRead_);
        std::lock_guard guard(mutex_);
        result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return result_;
    }

private:
    void readAll() {
        pollfd fds[2] = {{outRead_, POLLIN, 0}, {errRead_, POLLIN, 0}};
        int open = 2;
        char buffer[4096];
        while (open > 0 && poll(fds, 2, 60000) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    fds[i].fd = -1;  // a pseudo-terminal reports EIO once the child is gone
                    --open;
                    continue;
                }
                std::lock_guard guard(mutex_);
                (i == 0 ? result_.out : result_.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }

    pid_t pid_ = -1;
    bool terminal_ = false;
    int outRead_ = -1;
    int errRead_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    Result result_;
};

// An in-process sandbox and a client ID of the test's own (so its keyring items are its own).
class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        tessaro::testing::requirePrivateKeyring();
        sandbox::Options options;
        options.log = [this](const std::string& line) {
            std::lock_guard guard(logMutex_);
            log_.push_back(line);
        };
        sandbox_ = std::make_unique<sandbox::Sandbox>(options);
        clientID_ = "pmc_";
        for (const char c : tessaro::testing::uniqueClientID("cli"))
            clientID_ += std::isalnum(static_cast<unsigned char>(c)) ? c : 'x';
        sandbox_->registerClient({clientID_, {"http://127.0.0.1/tessaro/callback"}});
        config_ = fs::temp_directory_path() / ("tessaro-cli-" + clientID_);
        fs::create_directories(config_);
    }
    void TearDown() override {
        if (sandbox_) run({"reset"});
        fs::remove_all(config_);
    }

    std::map<std::string, std::string> environment() const {
        return {{"TESSARO_ORIGIN", sandbox_->origin()},
                {"TESSARO_CLIENT_ID", clientID_},
                {"TESSARO_SANDBOX_ORIGIN", sandbox_->origin()},
                {"XDG_CONFIG_HOME", config_.string()}};
    }
    std::vector<std::string> withOpener(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--open-with", std::string(TESSARO_SANDBOX_EXE) + " open"});
        return args;
    }
    Result run(const std::vector<std::string>& args, const std::string& input = "") {
        return Process(withOpener(args), environment(), input).wait();
    }
    bool logged(const std::string& needle) {
        std::lock_guard guard(logMutex_);
        for (const auto& line : log_) {
            if (line.find(needle) != std::string::npos) return true;
        }
        return false;
    }
    bool eventuallyLogged(const std::string& needle) {
        for (int i = 0; i < 2000; ++i) {
            if (logged(needle)) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    std::unique_ptr<sandbox::Sandbox> sandbox_;
    std::string clientID_;
    fs::path config_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

json lastJSON(const std::string& out) {
    const std::string line =
        out.substr(out.rfind('\n', out.size() - 2) == std::string::npos ? 0 : out.rfind('\n', out.size() - 2) + 1);
    return json::parse(line);
}

TEST_F(CliTest, EveryCommandAcrossProcesses) {
    // The settings file alone is enough.
    fs::create_directories(config_ / "tessaro");
    std::ofstream(config_ / "tessaro" / "settings.json")
        << json{{"origin", sandbox_->origin()}, {"client_id", clientID_}}.dump();
    {
        auto env = environment();
        env.erase("TESSARO_ORIGIN");
        env.erase("TESSARO_CLIENT_ID");
        const Result authorized = Process(withOpener({"authorize"}), env, "").wait();
        ASSERT_EQ(authorized.status, 0) << authorized.err;
        EXPECT_NE(authorized.out.find("authorized"), std::string::npos);
    }

    // A flag wins over the environment, which wins over the file.
    {
        auto env = environment();
        env["TESSARO_CLIENT_ID"] = "pmc_nobody";
        EXPECT_EQ(Process({"status"}, env, "").wait().status, 13);
        EXPECT_EQ(Process({"--client-id", clientID_, "status"}, env, "").wait().status, 0);
    }

    Result r = run({"status", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json status = lastJSON(r.out);
    EXPECT_TRUE(status.at("authorized").get<bool>());
    EXPECT_EQ(status.at("grant").at("account_id"), "acct_demo");
    EXPECT_EQ(status.at("grant").at("approval_key_fingerprint").get<std::string>().size(), 16u);

    const std::string bankPassword = sandbox_->item("itm_bank")->record.password;
    r = run({"pick", "--hint", "https://bank.example", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lastJSON(r.out).at("id"), "itm_bank");
    EXPECT_TRUE(lastJSON(r.out).at("password").is_null());
    EXPECT_EQ(r.out.find(bankPassword), std::string::npos);

    r = run({"get", "itm_bank", "--vault", "vlt_personal"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("password: ••••••••"), std::string::npos);
    r = run({"get", "itm_bank", "--vault", "vlt_personal", "--reveal", "--json"});
    EXPECT_EQ(lastJSON(r.out).at("password"), bankPassword);

    r = run({"create", "--title", "命令行", "--url", "https://cli.example", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lastJSON(r.out).at("item").at("title"), "命令行");

    r = run({"update", "itm_bank", "--vault", "vlt_personal", "--field", "password", "--field", "title", "--json"},
            "n3w secret\n新标题\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lastJSON(r.out).at("item_id"), "itm_bank");
    EXPECT_EQ(sandbox_->item("itm_bank")->record.password, "n3w secret");
    EXPECT_EQ(sandbox_->item("itm_bank")->record.title, "新标题");

    r = run({"revoke"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({"status"});
    EXPECT_EQ(r.status, 13);
    EXPECT_NE(r.out.find("not authorized"), std::string::npos);
}

TEST_F(CliTest, ExitStatusPerOutcome) {
    ASSERT_EQ(run({"authorize"}).status, 0);
    const struct {
        const char* name;
        std::function<void(Policy&)> policy;
        std::vector<std::string> args;
        std::string input;
        int status;
    } cases[] = {
        {"denied", [](Policy& p) { p.decision = Policy::Decision::deny; }, {"pick"}, "", 15},
        {"not signed in", [](Policy& p) { p.decision = Policy::Decision::notSignedIn; }, {"pick"}, "", 17},
        {"conflict",
         [](Policy& p) { p.update = Policy::Update::conflict; },
         {"update", "itm_bank", "--vault", "vlt_personal", "--field", "password"},
         "x\n",
         19},
        {"unknown command", [](Policy&) {}, {"frobnicate"}, "", 2},
        {"get without a vault", [](Policy&) {}, {"get", "itm_bank"}, "", 2},
        {"update without a field", [](Policy&) {}, {"update", "itm_bank", "--vault", "v"}, "", 2},
        {"update whose input ends early",
         [](Policy&) {},
         {"update", "itm_bank", "--vault", "vlt_personal", "--field", "password", "--field", "title"},
         "only one\n",
         2},
        {"help", [](Policy&) {}, {"pick", "--help"}, "", 0},
        {"version", [](Policy&) {}, {"--version"}, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Policy policy;
        c.policy(policy);
        sandbox_->setPolicy(policy);
        const Result r = run(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
    }
    ASSERT_EQ(run({"reset"}).status, 0);
    EXPECT_EQ(run({"pick"}).status, 13);
    // No secret store at all: told apart from "not authorized", and a reset that could not wipe
    // anything does not say it did.
    for (const char* command : {"status", "reset"}) {
        SCOPED_TRACE(command);
        auto env = environment();
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (config_ / "no-bus").string();
        const Result r = Process({command}, env, "").wait();
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find("keyring unavailable"), std::string::npos);
        EXPECT_EQ(r.out.find("forgotten"), std::string::npos);
    }
    // A settings file that is not JSON is bad usage.
    {
        fs::create_directories(config_ / "tessaro");
        std::ofstream(config_ / "tessaro" / "settings.json") << "{origin";
        auto env = environment();
        env.erase("TESSARO_ORIGIN");
        EXPECT_EQ(Process({"status"}, env, "").wait().status, 2);
        fs::remove(config_ / "tessaro" / "settings.json");
    }
    // Nothing can open the application: the download URL is printed.
    auto env = environment();
    const Result r = Process({"--open-with", "false", "authorize"}, env, "").wait();
    EXPECT_EQ(r.status, 10);
    EXPECT_NE(r.err.find("https://"), std::string::npos);
}

TEST_F(CliTest, CtrlCCancelsTheRequestOnTheServer) {
    ASSERT_EQ(run({"authorize"}).status, 0);
    Policy policy;
    policy.decision = Policy::Decision::never;
    sandbox_->setPolicy(policy);
    Process pick(withOpener({"pick"}), environment(), "");
    ASSERT_TRUE(eventuallyLogged(": left unanswered"));
    pick.signal(SIGINT);
    const Result r = pick.wait();
    EXPECT_EQ(r.status, 14) << r.err;
    EXPECT_TRUE(logged(": cancelled by the client"));
}

TEST_F(CliTest, StatusLineOnAPseudoTerminal) {
    ASSERT_EQ(run({"authorize"}).status, 0);
    Policy policy;
    policy.delay = 600ms;
    sandbox_->setPolicy(policy);
    Process pick(withOpener({"pick", "--hint", "https://bank.example"}), environment(), "", true);
    const Result r = pick.wait();
    ASSERT_EQ(r.status, 0) << r.err;
    // Redrawn in place (carriage return, erase line) with a spinner, the message and the time
    // left, and erased at the end.
    EXPECT_NE(r.err.find("\r\033[K⠋ "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("剩余 "), std::string::npos);
    EXPECT_GE(r.err.size(), 7u);
    EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\033[K");
    // Without a terminal: plain lines.
    const Result plain = run({"pick", "--hint", "https://bank.example"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err.find('\r'), std::string::npos);
    EXPECT_NE(plain.err.find("tessaro: "), std::string::npos);
}

// Ctrl-C at update's prompt ends it at once with 14, the typed nothing sent and the echo back on;
// so does a second Ctrl-C that arrives before the first is dealt with (then with 128 + SIGINT).
TEST_F(CliTest, CtrlCAtThePromptEndsItWithTheEchoBackOn) {
    ASSERT_EQ(run({"authorize"}).status, 0);
    for (const int interrupts : {1, 2}) {
        SCOPED_TRACE(interrupts);
        Process update(withOpener({"update", "itm_bank", "--vault", "vlt_personal", "--field", "password"}),
                       environment(), "", true, true);
        bool prompted = false;
        for (int i = 0; i < 2000 && !prompted; ++i) {
            prompted = update.errSoFar().find("new password: ") != std::string::npos;
            if (!prompted) std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(prompted) << update.errSoFar();
        EXPECT_FALSE(update.echoes());
        for (int i = 0; i < interrupts; ++i)
            update.signal(SIGINT);
        const Result r = update.wait();
        if (interrupts == 1) {
            EXPECT_EQ(r.status, 14) << r.err;
        } else {
            EXPECT_TRUE(r.status == 14 || r.status == 128 + SIGINT) << r.status << r.err;
        }
        EXPECT_EQ(r.echo, true);
        EXPECT_FALSE(logged("request ")) << "a request went out";
    }
}

// The command of --open-with starts as any program would: SIGINT and SIGTERM neither blocked nor
// ignored, so Ctrl-C reaches it.
TEST_F(CliTest, TheOpenCommandStartsWithDefaultSignals) {
    const fs::path record = config_ / "signals";
    const fs::path script = config_ / "open.sh";
    std::ofstream(script) << "grep -E '^Sig(Blk|Ign):' /proc/$$/status >'" << record.string() << "'\nexec '"
                          << TESSARO_SANDBOX_EXE << "' open \"$1\"\n";
    const Result r = Process({"--open-with", "/bin/sh " + script.string(), "authorize"}, environment(), "").wait();
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(record);
    std::string line;
    int seen = 0;
    while (std::getline(in, line)) {
        const unsigned long long mask = std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
        EXPECT_EQ(mask & ((1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1))), 0u) << line;
        ++seen;
    }
    EXPECT_EQ(seen, 2);
}

}  // namespace
}  // namespace tessaro
