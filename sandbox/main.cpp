// tessaro-sandbox: serve the sandbox, or hand a launch URL / a policy to a running one.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include <tessaro/sandbox/internal/wire.hpp>
#include <tessaro/sandbox/sandbox.hpp>

namespace {

using tessaro::sandbox::Policy;

constexpr const char* usage = R"(Usage:
  tessaro-sandbox [serve] [OPTIONS]      run the sandbox server and simulated user
  tessaro-sandbox open URL [--origin O]  hand a tessaro:// launch URL to a running sandbox
  tessaro-sandbox policy [POLICY OPTIONS] [--origin O]
                                         change the policy of a running sandbox

The sandbox serves the password-manager API under /api/oauth/ on 127.0.0.1 and plays the
password-manager application: it answers tessaro://authorize and tessaro://request URLs as
the policy says and calls the host back on its redirect URI. On start it prints
  TESSARO_SANDBOX_ORIGIN=http://127.0.0.1:PORT
  TESSARO_SANDBOX_CLIENT_ID=pmc_tessarodemo
on standard output (shell syntax) and logs events on standard error. Ctrl-C stops it.

Server options:
  --port N                  listen on 127.0.0.1:N (default 0: an ephemeral port)
  --token-lifetime S        access token lifetime in seconds (default 3600)
  --refresh-lifetime S      refresh token lifetime in seconds (default 2592000, 30 days)
  --code-lifetime S         authorization code lifetime in seconds (default 60)
  --request-lifetime S      request lifetime in seconds (default 600)
  --client ID=URI[,URI...]  register a further client ("pmc_" + letters/digits) with its
                            redirect URIs; repeatable. http://127.0.0.1/PATH matches any
                            port; a PATH ending in * matches any path with that prefix
  --deliver auto|print      auto (default): callbacks by HTTP GET for loopback http redirect
                            URIs, by the desktop's URL handler for other schemes;
                            print: write each callback URL to standard output instead
  --state-file PATH         where to record the running sandbox (default
                            $XDG_RUNTIME_DIR/tessaro-sandbox.json, else
                            /tmp/tessaro-sandbox-UID.json)
  --no-state-file           do not record it
  --quiet                   no event log

Policy options (serve and policy):
  --decision D              approve (default), deny, not-signed-in, never
  --delay S                 seconds before the user reacts (default 0)
  --step S                  seconds spent in each waiting state (default 0.3)
  --pick hint|ITEM_ID       hint (default): the item matching the hint URL, else the first
                            item of the granted vaults; or always this item
  --create in-scope|out-of-scope
                            save new items into a granted mode-1 vault (default) or into
                            the first vault outside the grant
  --update apply|conflict   apply sealed patches (default) or refuse with "conflict"
  --grant-vaults ID,ID...   vaults an approved authorization grants (default: the
                            account's default grant); "default" restores it

open and policy options:
  --origin O                the running sandbox (default $TESSARO_SANDBOX_ORIGIN, else the
                            state file)
  --state-file PATH         the state file to read

  -h, --help                this text
)";

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "tessaro-sandbox: " << message << "\n";
    std::exit(2);
}

// A whole decimal number from `min` to `max`, or nothing.
std::optional<long long> parseWhole(const std::string& text, long long min, long long max) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < min || value > max) return std::nullopt;
    return value;
}

std::chrono::seconds parseLifetime(const std::string& text) {
    const auto value = parseWhole(text, 1, 10LL * 365 * 24 * 3600);
    if (!value) fail("not a positive number of seconds: " + text);
    return std::chrono::seconds(*value);
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

std::string defaultStateFile() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::string(runtime) + "/tessaro-sandbox.json";
    }
    return "/tmp/tessaro-sandbox-" + std::to_string(getuid()) + ".json";
}

void writeStateFile(const std::string& path, const std::string& origin) {
    const nlohmann::json state = {{"origin", origin},
                                  {"pid", static_cast<long long>(getpid())},
                                  {"demo_client_id", std::string(tessaro::sandbox::Sandbox::demoClientID)}};
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::cerr << "tessaro-sandbox: cannot write the state file " << path << "\n";
        return;
    }
    const std::string text = state.dump() + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        std::cerr << "tessaro-sandbox: cannot write the state file " << path << "\n";
    }
}

std::optional<nlohmann::json> readStateFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json state = nlohmann::json::parse(text.str(), nullptr, false);
    if (!state.is_object()) return std::nullopt;
    return state;
}

void removeStateFile(const std::string& path) {
    // Only our own record: another sandbox may have started since.
    const auto state = readStateFile(path);
    if (state && state->value("pid", 0LL) == static_cast<long long>(getpid())) std::remove(path.c_str());
}

// The running sandbox: --origin, $TESSARO_SANDBOX_ORIGIN, or the state file of a live process.
std::string findOrigin(const std::optional<std::string>& origin, const std::string& stateFile) {
    if (origin) return *origin;
    if (const char* env = std::getenv("TESSARO_SANDBOX_ORIGIN"); env && *env) return env;
    const auto state = readStateFile(stateFile);
    if (!state || !(*state)["origin"].is_string()) {
        fail("no running sandbox found (no state file " + stateFile + "); pass --origin");
    }
    const long long pid = state->value("pid", 0LL);
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
        fail("the sandbox recorded in " + stateFile + " is no longer running; pass --origin");
    }
    return (*state)["origin"].get<std::string>();
}

int post(const std::string& origin, const std::string& path, const nlohmann::json& body) {
    const auto parts = tessaro::sandbox::detail::parseURI(origin);
    if (!parts || parts->scheme != "http" || !tessaro::sandbox::detail::isLoopbackIP(parts->host) || !parts->port) {
        fail("the origin must be http://127.0.0.1:PORT: " + origin);
    }
    std::string host = parts->host;
    if (host.starts_with('[')) host = host.substr(1, host.size() - 2);
    httplib::Client client(host, *parts->port);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    const auto result = client.Post(path.c_str(), body.dump(), "application/json");
    if (!result) {
        std::cerr << "tessaro-sandbox: cannot reach " << origin << ": " << httplib::to_string(result.error()) << "\n";
        return 1;
    }
    if (result->status >= 300) {
        const auto answer = nlohmann::json::parse(result->body, nullptr, false);
        std::cerr << "tessaro-sandbox: refused: "
                  << (answer.is_object() ? answer.value("message", answer.value("error", result->body)) : result->body)
                  << "\n";
        return 1;
    }
    if (path == "/sandbox/policy") std::cout << result->body << "\n";
    return 0;
}

struct Arguments {
    std::string command = "serve";
    std::vector<std::string> positional;
    tessaro::sandbox::Options options;
    nlohmann::json policyChanges = nlohmann::json::object();
    std::optional<std::string> origin;
    std::string stateFile = defaultStateFile();
    bool useStateFile = true;
    bool print = false;
    bool quiet = false;
};

Arguments parseArguments(int argc, char** argv) {
    Arguments args;
    int first = 1;
    if (argc > 1 && argv[1][0] != '-') {
        args.command = argv[1];
        first = 2;
        if (args.command != "serve" && args.command != "open" && args.command != "policy") {
            fail("unknown command: " + args.command + " (see --help)");
        }
    }
    enum {
        port = 1000, tokenLifetime, refreshLifetime, codeLifetime, requestLifetime, client, deliver, stateFile,
        noStateFile, quiet, decision, delay, step, pick, create, update, grantVaults, origin
    };
    static const option longOptions[] = {
        {"port", required_argument, nullptr, port},
        {"token-lifetime", required_argument, nullptr, tokenLifetime},
        {"refresh-lifetime", required_argument, nullptr, refreshLifetime},
        {"code-lifetime", required_argument, nullptr, codeLifetime},
        {"request-lifetime", required_argument, nullptr, requestLifetime},
        {"client", required_argument, nullptr, client},
        {"deliver", required_argument, nullptr, deliver},
        {"state-file", required_argument, nullptr, stateFile},
        {"no-state-file", no_argument, nullptr, noStateFile},
        {"quiet", no_argument, nullptr, quiet},
        {"decision", required_argument, nullptr, decision},
        {"delay", required_argument, nullptr, delay},
        {"step", required_argument, nullptr, step},
        {"pick", required_argument, nullptr, pick},
        {"create", required_argument, nullptr, create},
        {"update", required_argument, nullptr, update},
        {"grant-vaults", required_argument, nullptr, grantVaults},
        {"origin", required_argument, nullptr, origin},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = first;
    for (int c; (c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        try {
            switch (c) {
                case 'h': std::cout << usage; std::exit(0);
                case port: {
                    const auto n = parseWhole(value, 0, 65535);
                    if (!n) fail("not a port (0 to 65535): " + value);
                    args.options.port = static_cast<int>(*n);
                    break;
                }
                case tokenLifetime: args.options.accessTokenLifetime = parseLifetime(value); break;
                case refreshLifetime: args.options.refreshTokenLifetime = parseLifetime(value); break;
                case codeLifetime: args.options.codeLifetime = parseLifetime(value); break;
                case requestLifetime: args.options.requestLifetime = parseLifetime(value); break;
                case client: {
                    const auto eq = value.find('=');
                    if (eq == std::string::npos) fail("--client takes ID=URI[,URI...]");
                    args.options.clients.push_back({value.substr(0, eq), splitList(value.substr(eq + 1))});
                    break;
                }
                case deliver:
                    if (value != "auto" && value != "print") fail("--deliver takes auto or print");
                    args.print = value == "print";
                    break;
                case stateFile: args.stateFile = value; break;
                case noStateFile: args.useStateFile = false; break;
                case quiet: args.quiet = true; break;
                case decision: args.policyChanges["decision"] = Policy::text(Policy::parseDecision(value)); break;
                case delay: args.policyChanges["delay"] = Policy::parseSeconds(value).count() / 1000.0; break;
                case step: args.policyChanges["step"] = Policy::parseSeconds(value).count() / 1000.0; break;
                case pick: args.policyChanges["pick"] = value; break;
                case create: args.policyChanges["create"] = Policy::text(Policy::parseCreate(value)); break;
                case update: args.policyChanges["update"] = Policy::text(Policy::parseUpdate(value)); break;
                case grantVaults:
                    args.policyChanges["grant_vaults"] =
                        value == "default" ? nlohmann::json(nullptr) : nlohmann::json(splitList(value));
                    break;
                case origin: args.origin = value; break;
                default: fail("see --help");
            }
        } catch (const std::invalid_argument& error) {
            fail(error.what());
        }
    }
    for (int i = optind; i < argc; ++i) args.positional.emplace_back(argv[i]);
    return args;
}

int serve(Arguments& args) {
    if (!args.positional.empty()) fail("unexpected argument: " + args.positional.front());
    // Signals are taken by sigwait below; every thread started from here inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto& options = args.options;
    try {
        options.policy = Policy::fromJSON(args.policyChanges, options.policy);
    } catch (const std::invalid_argument& error) {
        fail(error.what());
    }
    if (!args.quiet) {
        options.log = [](const std::string& line) { std::cerr << "tessaro-sandbox: " << line << std::endl; };
    }
    if (args.print) {
        options.deliver = [](const std::string& url) { std::cout << "callback " << url << std::endl; };
    }

    std::unique_ptr<tessaro::sandbox::Sandbox> sandbox;
    try {
        sandbox = std::make_unique<tessaro::sandbox::Sandbox>(options);
    } catch (const std::exception& error) {
        fail(error.what());
    }
    const std::string origin = sandbox->origin();
    // The state file first: a script that reads the lines below may run "open" at once.
    if (args.useStateFile) writeStateFile(args.stateFile, origin);
    std::cout << "TESSARO_SANDBOX_ORIGIN=" << origin << "\n"
              << "TESSARO_SANDBOX_CLIENT_ID=" << tessaro::sandbox::Sandbox::demoClientID << std::endl;
    if (!args.quiet) {
        std::cerr << "tessaro-sandbox: serving " << origin << " for client "
                  << tessaro::sandbox::Sandbox::demoClientID << " (account acct_demo, policy "
                  << sandbox->policy().toJSON().dump() << ")" << std::endl;
    }

    int received = 0;
    sigwait(&signals, &received);
    if (!args.quiet) std::cerr << "tessaro-sandbox: stopping" << std::endl;
    sandbox->stop();
    if (args.useStateFile) removeStateFile(args.stateFile);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Caught here so that a running sandbox is stopped on the way out (an argument that is not
    // UTF-8, for one, cannot be written as JSON).
    try {
        Arguments args = parseArguments(argc, argv);
        if (args.command == "open") {
            if (args.positional.size() != 1) fail("open takes exactly one URL");
            return post(findOrigin(args.origin, args.stateFile), "/sandbox/open", {{"url", args.positional.front()}});
        }
        if (args.command == "policy") {
            if (!args.positional.empty()) fail("unexpected argument: " + args.positional.front());
            return post(findOrigin(args.origin, args.stateFile), "/sandbox/policy", args.policyChanges);
        }
        return serve(args);
    } catch (const std::exception& error) {
        fail(error.what());
    }
}
