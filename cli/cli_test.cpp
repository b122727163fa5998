// The tessaro binary as a user runs it: against an in-process sandbox that calls its loopback
// receiver back over HTTP, with `tessaro-sandbox open` as the application launcher, the session in
// the private keyring, and, for the status line, a pseudo-terminal.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <testing/child_process.hpp>
#include <testing/eventually.hpp>
#include <tessaro/sandbox/testing/sandbox_fixture.hpp>
#include <tessaro/stores/testing/store_test_support.hpp>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using sandbox::Policy;
using namespace std::chrono_literals;

using tessaro::testing::ChildProcess;
using Result = ChildProcess::Result;

// An in-process sandbox that calls the loopback receiver back itself, and a client ID of the
// test's own (so its keyring items are its own).
class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        tessaro::testing::requirePrivateKeyring();
        clientID_ = tessaro::testing::uniqueRegisteredClientID("cli");
        f_.sandbox().registerClient({clientID_, {"http://127.0.0.1/tessaro/callback"}});
        config_ = fs::temp_directory_path() / ("tessaro-cli-" + clientID_);
        fs::create_directories(config_);
    }
    void TearDown() override {
        if (clientID_.empty()) return;  // skipped
        run({"reset"});
        fs::remove_all(config_);
    }

    std::map<std::string, std::string> environment() const {
        return {{"TESSARO_ORIGIN", f_.origin()},
                {"TESSARO_CLIENT_ID", clientID_},
                {"TESSARO_SANDBOX_ORIGIN", f_.origin()},
                {"XDG_CONFIG_HOME", config_.string()}};
    }
    // Which of tessaro's streams go to a pseudo-terminal instead of pipes.
    enum class Terminal { none, stderrOnly, stderrAndStdin };
    // tessaro with `tessaro-sandbox open` as the launcher (a later --open-with wins) and `env`
    // added to the test's environment.
    ChildProcess start(std::vector<std::string> args, const std::map<std::string, std::string>& env,
                       const std::string& input = "", Terminal terminal = Terminal::none) const {
        args.insert(args.begin(), {"--open-with", std::string(TESSARO_SANDBOX_EXE) + " open"});
        std::vector<std::string> entries;
        for (const auto& [name, value] : env)
            entries.push_back(name + "=" + value);
        return ChildProcess(TESSARO_CLI_EXE, args,
                            {.environment = entries,
                             .input = input,
                             .terminal = terminal != Terminal::none,
                             .terminalInput = terminal == Terminal::stderrAndStdin});
    }
    Result run(const std::vector<std::string>& args, const std::string& input = "") {
        return start(args, environment(), input).wait();
    }
    void setPolicy(const std::function<void(Policy&)>& change) {
        Policy policy;
        change(policy);
        f_.sandbox().setPolicy(policy);
    }

    sandbox::testing::SandboxFixture f_{{}, sandbox::testing::SandboxFixture::Delivery::bySandbox};
    std::string clientID_;
    fs::path config_;
};

TEST_F(CliTest, EveryCommandAcrossProcesses) {
    fs::create_directories(config_ / "tessaro");
    auto env = environment();
    env.erase("TESSARO_ORIGIN");
    env.erase("TESSARO_CLIENT_ID");
    // A settings file that is not JSON is bad usage; a good one alone is enough.
    std::ofstream(config_ / "tessaro" / "settings.json") << "{origin";
    EXPECT_EQ(start({"status"}, env).wait().status, 2);
    std::ofstream(config_ / "tessaro" / "settings.json")
        << json{{"origin", f_.origin()}, {"client_id", clientID_}}.dump();
    Result r = start({"authorize"}, env).wait();
    ASSERT_EQ(r.status, 0) << r.err;
    // A flag wins over the environment, which wins over the file.
    env["TESSARO_CLIENT_ID"] = "pmc_nobody";
    EXPECT_EQ(start({"status"}, env).wait().status, 13);
    r = start({"--client-id", clientID_, "status", "--json"}, env).wait();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out).at("grant").at("account_id"), "acct_demo");

    const std::string bankPassword = f_.sandbox().item("itm_bank")->record.password;
    r = run({"pick", "--hint", "https://bank.example", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out).at("id"), "itm_bank");
    EXPECT_TRUE(json::parse(r.out).at("password").is_null());
    EXPECT_EQ(r.out.find(bankPassword), std::string::npos);

    r = run({"get", "itm_bank", "--vault", "vlt_personal"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("password: ••••••••"), std::string::npos);
    r = run({"get", "itm_bank", "--vault", "vlt_personal", "--reveal", "--json"});
    EXPECT_EQ(json::parse(r.out).at("password"), bankPassword);

    r = run({"create", "--title", "命令行", "--url", "https://cli.example", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out).at("item").at("title"), "命令行");

    r = run({"update", "itm_bank", "--vault", "vlt_personal", "--field", "password", "--field", "title", "--json"},
            "n3w secret\n新标题\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(f_.sandbox().item("itm_bank")->record.password, "n3w secret");
    EXPECT_EQ(f_.sandbox().item("itm_bank")->record.title, "新标题");

    EXPECT_EQ(run({"revoke"}).status, 0);
    EXPECT_EQ(run({"status"}).status, 13);
}

TEST_F(CliTest, ExitStatusPerOutcome) {
    ASSERT_EQ(run({"authorize"}).status, 0);
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string input = "";
        std::function<void(Policy&)> policy = [](Policy&) {};
        std::string out = "";  // the start of standard output
    } cases[] = {
        {"denied",
         {"pick", "--json"},
         15,
         "",
         [](Policy& p) { p.decision = Policy::Decision::deny; },
         R"({"error":"denied","message":")"},
        {"not signed in", {"pick"}, 17, "", [](Policy& p) { p.decision = Policy::Decision::notSignedIn; }},
        {"conflict",
         {"update", "itm_bank", "--vault", "vlt_personal", "--field", "password"},
         19,
         "x\n",
         [](Policy& p) { p.update = Policy::Update::conflict; }},
        {"unknown command", {"frobnicate"}, 2},
        {"get without a vault", {"get", "itm_bank"}, 2},
        {"update without a field", {"update", "itm_bank", "--vault", "v"}, 2},
        {"update whose input ends early",
         {"update", "itm_bank", "--vault", "vlt_personal", "--field", "password", "--field", "title"},
         2,
         "only one\n"},
        {"no command", {}, 2, "", [](Policy&) {}, "Usage: tessaro [OPTIONS] COMMAND"},
        {"version", {"--version"}, 0, "", [](Policy&) {}, "tessaro "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setPolicy(c.policy);
        const Result r = run(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_TRUE(r.out.starts_with(c.out)) << r.out;
    }
    // Each command's own help, before or after the command.
    for (const std::string command : {"authorize", "status", "pick", "get", "create", "update", "revoke", "reset"}) {
        SCOPED_TRACE(command);
        const Result r = run({"--help", command});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.starts_with("Usage: tessaro " + command)) << r.out;
    }
    ASSERT_EQ(run({"reset"}).status, 0);
    EXPECT_EQ(run({"pick"}).status, 13);
    // No secret store at all: told apart from "not authorized", and a reset that could not wipe
    // anything does not say it did.
    auto noBus = environment();
    noBus["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (config_ / "no-bus").string();
    for (const char* command : {"status", "reset"}) {
        SCOPED_TRACE(command);
        const Result r = start({command}, noBus).wait();
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find("keyring unavailable"), std::string::npos);
    }
    // Nothing can open the application: the download URL is printed.
    const Result r = start({"--open-with", "false", "authorize"}, environment()).wait();
    EXPECT_EQ(r.status, 10);
    EXPECT_NE(r.err.find("https://"), std::string::npos);
}

TEST_F(CliTest, CtrlCCancelsTheRequestOnTheServer) {
    ASSERT_EQ(run({"authorize"}).status, 0);
    setPolicy([](Policy& p) { p.decision = Policy::Decision::never; });
    ChildProcess pick = start({"pick"}, environment());
    ASSERT_TRUE(f_.log().waitFor(": left unanswered"));
    pick.signal(SIGINT);
    const Result r = pick.wait();
    EXPECT_EQ(r.status, 14) << r.err;
    EXPECT_TRUE(f_.log().waitFor(": cancelled by the client"));
}

TEST_F(CliTest, StatusLineOnAPseudoTerminal) {
    ASSERT_EQ(run({"authorize"}).status, 0);
    setPolicy([](Policy& p) { p.delay = 600ms; });
    const Result r = start({"pick", "--hint", "https://bank.example"}, environment(), "", Terminal::stderrOnly).wait();
    ASSERT_EQ(r.status, 0) << r.err;
    // Redrawn in place (carriage return, erase line) with a spinner, the message and the time
    // left, and erased at the end.
    EXPECT_NE(r.err.find("\r\033[K⠋ "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("剩余 "), std::string::npos);
    EXPECT_TRUE(r.err.ends_with("\r\033[K")) << r.err;
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
        ChildProcess update = start({"update", "itm_bank", "--vault", "vlt_personal", "--field", "password"},
                                    environment(), "", Terminal::stderrAndStdin);
        ASSERT_TRUE(tessaro::testing::eventually([&] {
            return update.err().find("new password: ") != std::string::npos;
        })) << update.err();
        EXPECT_FALSE(update.echoes());
        for (int i = 0; i < interrupts; ++i)
            update.signal(SIGINT);
        const Result r = update.wait();
        EXPECT_TRUE(r.status == 14 || (interrupts == 2 && r.status == 128 + SIGINT)) << r.status << r.err;
        EXPECT_EQ(r.echo, true);
        EXPECT_EQ(f_.log().count("request "), 0u) << "a request went out";
    }
}

// The command of --open-with starts as any program would: SIGINT and SIGTERM neither blocked nor
// ignored, so Ctrl-C reaches it. The script fails (so authorize exits 10) when either is in its
// blocked or ignored mask.
TEST_F(CliTest, TheOpenCommandStartsWithDefaultSignals) {
    const fs::path script = config_ / "open.sh";
    std::ofstream(script) << "masks=$(sed -n 's/^Sig\\(Blk\\|Ign\\):\\s*/0x/p' /proc/$$/status)\n"
                          << "[ $(echo \"$masks\" | wc -l) = 2 ] || exit 1\nfor m in $masks; do [ $((m & "
                          << ((1 << (SIGINT - 1)) | (1 << (SIGTERM - 1))) << ")) = 0 ] || exit 1; done\nexec '"
                          << TESSARO_SANDBOX_EXE << "' open \"$1\"\n";
    const Result r = start({"--open-with", "/bin/sh " + script.string(), "authorize"}, environment()).wait();
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
}  // namespace tessaro
