// tessaro: a command-line host of the kit. Each subcommand is one call of TessaroClient; callbacks
// arrive on a loopback redirect receiver; the session lives in the desktop secret store.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <span>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaro/client/app_switching.hpp>
#include <tessaro/client/loopback_redirect.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/crypto/bytes.hpp>
#include <tessaro/records/json_forms.hpp>
#include <tessaro/records/records.hpp>
#include <tessaro/records/tessaro_error.hpp>
#include <tessaro/stores/keychain.hpp>
#include <tessaro/version.hpp>

#include "terminal.hpp"

namespace tessaro::cli {
namespace {

using json = nlohmann::json;

// Exit statuses (documented in --help and the README).
enum Exit : int {
    ok = 0,
    failure = 1,
    usage = 2,
    storeFailure = 3,
    notInstalledExit = 10,
    networkExit = 11,
    protocolExit = 12,
    notAuthorizedExit = 13,
    cancelledExit = 14,
    deniedExit = 15,
    expiredExit = 16,
    notSignedInExit = 17,
    revokedExit = 18,
    conflictExit = 19,
};

int exitFor(TessaroError::Code code) {
    switch (code) {
        case TessaroError::Code::notInstalled: return notInstalledExit;
        case TessaroError::Code::network: return networkExit;
        case TessaroError::Code::protocol: return protocolExit;
        case TessaroError::Code::notAuthorized: return notAuthorizedExit;
        case TessaroError::Code::cancelled: return cancelledExit;
        case TessaroError::Code::denied: return deniedExit;
        case TessaroError::Code::expired: return expiredExit;
        case TessaroError::Code::notSignedIn: return notSignedInExit;
        case TessaroError::Code::revoked: return revokedExit;
        case TessaroError::Code::conflict: return conflictExit;
    }
    return failure;
}

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr const char* mainHelp = R"(Usage: tessaro [OPTIONS] COMMAND [ARGS]

Uses your password vault through the Tessaro password-manager application: you approve every
action there, and item contents reach this program only sealed to its own grant.

Commands:
  authorize                      authorize this program (once)
  status                         whether it is authorized, and the grant
  pick [--hint URL] [--vault ID] [--reason TEXT]
                                 let the user pick an item
  get ITEM --vault ID            read a known item
  create [--title T] [--url U] [--username U] [--vault ID] [--reason TEXT]
                                 create a login from what the user enters
  update ITEM --vault ID --field NAME [--field NAME ...] [--reason TEXT]
                                 change fields; the new values are read from standard input,
                                 one line per field (asked without echo on a terminal)
  revoke                         end the grant on the server and forget the session
  reset                          forget the session on this computer only

Options (before or after the command):
  --origin URL       the server's origin      (else $TESSARO_ORIGIN, else the settings file)
  --client-id ID     this program's client ID (else $TESSARO_CLIENT_ID, else the settings file)
  --open-with CMD    open the tessaro:// URL with CMD URL instead of the desktop's handler,
                     for example --open-with "tessaro-sandbox open"
  --json             print one JSON object per result (see the README for the schema)
  --reveal           show passwords (masked otherwise; null in --json)
  --help             this text; tessaro COMMAND --help for one command
  --version          the version

Settings file: $XDG_CONFIG_HOME/tessaro/settings.json (~/.config/tessaro/settings.json), for
example {"origin": "https://vault.example", "client_id": "pmc_myapp"}.
The session is kept in the desktop secret store, shared by every tessaro of that client ID.
Ctrl-C during a wait cancels the request on the server; a second Ctrl-C exits at once.

Exit status:
  0 success            1 other failure        2 bad usage             3 secret store unavailable
  10 not installed     11 network             12 protocol             13 not authorized
  14 cancelled         15 denied              16 expired              17 not signed in
  18 revoked           19 conflict

Examples:
  tessaro --origin http://127.0.0.1:41235 --client-id pmc_tessarodemo authorize
  tessaro pick --hint https://bank.example
  printf '%s\n' 'n3w-secret' | tessaro update itm_bank --vault vlt_personal --field password
)";

struct Arguments {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // --origin, --hint, ...
    std::vector<std::string> fields;            // --field, in order
    bool json = false;
    bool reveal = false;
    bool help = false;
    bool version = false;
};

Arguments parse(int argc, char** argv) {
    static const std::vector<std::string> withValue = {"--origin", "--client-id", "--open-with", "--hint",    "--vault",
                                                       "--reason", "--title",     "--url",       "--username"};
    Arguments args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            if (const auto equals = arg.find('='); equals != std::string::npos) {
                inlineValue = arg.substr(equals + 1);
                arg = arg.substr(0, equals);
            }
        }
        const auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= argc) throw UsageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--json") {
            args.json = true;
        } else if (arg == "--reveal") {
            args.reveal = true;
        } else if (arg == "--help" || arg == "-h") {
            args.help = true;
        } else if (arg == "--version") {
            args.version = true;
        } else if (arg == "--field") {
            args.fields.push_back(value());
        } else if (std::find(withValue.begin(), withValue.end(), arg) != withValue.end()) {
            args.values[arg] = value();
        } else if (arg.rfind("-", 0) == 0 && arg != "-") {
            throw UsageError("unknown option " + arg);
        } else if (args.command.empty()) {
            args.command = arg;
        } else {
            args.positional.push_back(arg);
        }
    }
    return args;
}

std::optional<std::string> option(const Arguments& args, const std::string& name) {
    const auto found = args.values.find(name);
    if (found == args.values.end()) return std::nullopt;
    return found->second;
}

// --flag, else the environment, else the settings file.
std::optional<std::string> setting(const Arguments& args, const std::string& flag, const char* variable,
                                   const char* key) {
    if (auto value = option(args, flag)) return value;
    if (const char* value = std::getenv(variable); value && *value) return std::string(value);
    std::string directory;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
        directory = config;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        directory = std::string(home) + "/.config";
    } else {
        return std::nullopt;
    }
    std::ifstream file(directory + "/tessaro/settings.json");
    if (!file) return std::nullopt;
    const json settings = json::parse(file, nullptr, false);
    if (settings.is_discarded() || !settings.is_object()) {
        throw UsageError(directory + "/tessaro/settings.json is not a JSON object");
    }
    const auto found = settings.find(key);
    if (found == settings.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

// Opens launch URLs by running `command URL` (through /bin/sh, with the URL as an argument, never
// spliced into the command text).
class CommandSwitcher final : public TessaroAppSwitching {
public:
    explicit CommandSwitcher(std::string command) : command_(std::move(command)) {}

    void open(const URL& url, const URL& downloadURL, std::stop_token) override {
        const std::string script = command_ + " \"$1\"";
        const std::string text = url.absoluteString();
        const pid_t child = fork();
        if (child == 0) {
            // The command starts as any program would: nothing blocked, nothing ignored.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            execl("/bin/sh", "sh", "-c", script.c_str(), "sh", text.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw TessaroError::notInstalled(downloadURL);
        }
    }
    [[nodiscard]] Registration onForeground(std::function<void()>) override {
        return Registration([] {});
    }

private:
    std::string command_;
};

std::string masked(const std::string& password, bool reveal) {
    if (reveal) return password;
    return password.empty() ? "" : "••••••••";
}

// The --json forms are the kit's shared ones; passwords only with --reveal.
forms::Password passwordForm(bool reveal) { return reveal ? forms::Password::included : forms::Password::withheld; }

// One result as one line of JSON; text that is not UTF-8 is written with U+FFFD.
void printJSON(const json& value) { std::cout << forms::dump(value) << "\n"; }

void printItem(const TessaroItem& item, bool reveal) {
    const TessaroRecord& r = item.record;
    std::cout << "item:     " << item.id << " (revision " << item.revision << ")\n"
              << "title:    " << r.title << "\n"
              << "username: " << r.username << "\n"
              << "password: " << masked(r.password, reveal) << "\n"
              << "url:      " << r.url << "\n";
    if (!r.notes.empty()) std::cout << "notes:    " << r.notes << "\n";
}

void printGrant(const TessaroGrant& grant) {
    std::cout << "grant:    " << grant.grantID << "\naccount:  " << grant.accountID << "\nvaults:   ";
    for (std::size_t i = 0; i < grant.vaults.size(); ++i) {
        const auto& vault = grant.vaults[i];
        std::cout << (i ? ", " : "") << vault.id << (vault.name ? " (" + *vault.name + ")" : "")
                  << (vault.mode == 1 ? " rw" : " r");
    }
    std::cout << "\nkey:      " << grant.approvalKeyFingerprint << "\n";
}

// SIGINT and SIGTERM: the first cancels the wait, a second exits at once (with the terminal's echo
// back on). A handler, not a blocked mask: the programs tessaro starts (an --open-with command, a
// desktop launch) then begin with the default mask and dispositions, so Ctrl-C reaches them.
std::atomic<int> interruptCount{0};
int interruptPipe[2] = {-1, -1};  // the handler's byte to the watcher thread

extern "C" void handleInterrupt(int number) {
    const int saved = errno;
    if (interruptCount.fetch_add(1) > 0) {
        restoreTerminal();
        _exit(128 + number);
    }
    const unsigned char byte = static_cast<unsigned char>(number);
    (void)!write(interruptPipe[1], &byte, 1);
    errno = saved;
}

class Interrupts {
public:
    Interrupts() {
        if (pipe2(interruptPipe, O_CLOEXEC) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
            throw std::runtime_error("cannot create a pipe for interrupts");
        }
        thread_ = std::thread([this] {
            for (;;) {
                unsigned char byte = 0;
                const ssize_t n = read(interruptPipe[0], &byte, 1);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0 || byte == 0) return;  // 0: the destructor
                std::function<void()> cancel;
                {
                    std::lock_guard guard(mutex_);
                    cancel = cancel_;
                }
                if (cancel) cancel();
                (void)!write(wake_[1], &byte, 1);
            }
        });
        struct sigaction action {};
        action.sa_handler = handleInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    ~Interrupts() {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        const unsigned char stop = 0;
        (void)!write(interruptPipe[1], &stop, 1);
        thread_.join();
        for (const int fd : {interruptPipe[0], interruptPipe[1], wake_[0], wake_[1]})
            close(fd);
    }
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    void onInterrupt(std::function<void()> cancel) {
        std::lock_guard guard(mutex_);
        cancel_ = std::move(cancel);
    }
    // Readable from the first interrupt on (never drained), for waits that poll.
    int wakeFD() const { return wake_[0]; }

private:
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::function<void()> cancel_;
    std::thread thread_;
};

// What a subcommand works with: the parsed arguments, the session's store, the client, and the
// stop of the wait that an interrupt requests.
struct Session {
    const Arguments& args;
    std::shared_ptr<TessaroKeychain> store;
    std::shared_ptr<TessaroClient> client;
    Interrupts& interrupts;
    std::stop_token stop;

    std::string vault() const {
        const auto vault = option(args, "--vault");
        if (!vault) throw UsageError(args.command + " needs --vault ID");
        return *vault;
    }
    std::string item() const {
        if (args.positional.size() != 1) throw UsageError(args.command + " needs one ITEM");
        return args.positional[0];
    }
    std::optional<std::string> reason() const { return option(args, "--reason"); }
    // The exit status once a server cancel still in flight has gone out.
    int finish(int code) const {
        client->drain(std::chrono::seconds(5));
        return code;
    }
};

int status(Session& s) {
    try {
        s.store->readString("grant_id");
    } catch (const TessaroKeychain::KeychainError& error) {
        if (s.args.json) printJSON({{"authorized", false}, {"error", "keyring_unavailable"}});
        std::cerr << "tessaro: keyring unavailable (status " << error.status() << ")\n";
        return storeFailure;
    }
    const auto grant = s.client->grant();
    const bool authorized = grant && s.client->isAuthorized();
    if (s.args.json) {
        json out = {{"authorized", authorized}};
        if (grant) out["grant"] = forms::grant(*grant);
        printJSON(out);
    } else {
        std::cout << (authorized ? "authorized\n" : "not authorized\n");
        if (grant) printGrant(*grant);
    }
    return authorized ? ok : notAuthorizedExit;
}

int authorize(Session& s) {
    const TessaroGrant grant = s.client->authorize(s.stop);
    if (s.args.json) {
        printJSON({{"authorized", true}, {"grant", forms::grant(grant)}});
    } else {
        std::cout << "authorized\n";
        printGrant(grant);
    }
    return s.finish(ok);
}

int showItem(Session& s, const TessaroItem& item) {
    if (s.args.json) {
        printJSON(forms::item(item, passwordForm(s.args.reveal)));
    } else {
        printItem(item, s.args.reveal);
    }
    return s.finish(ok);
}

int pick(Session& s) {
    TessaroHint hint;
    hint.url = option(s.args, "--hint");
    return showItem(s, s.client->pickItem(hint, s.reason(), option(s.args, "--vault"), s.stop));
}

int get(Session& s) { return showItem(s, s.client->getItem(s.item(), s.vault(), s.stop)); }

int create(Session& s) {
    TessaroPrefill prefill;
    prefill.title = option(s.args, "--title");
    prefill.url = option(s.args, "--url");
    prefill.usernameHint = option(s.args, "--username");
    const TessaroCreated created =
        s.client->createItem(TessaroItemKind::login, prefill, s.reason(), option(s.args, "--vault"), s.stop);
    if (s.args.json) {
        printJSON(forms::created(created, passwordForm(s.args.reveal)));
    } else if (created.item) {
        std::cout << "created\n";
        printItem(*created.item, s.args.reveal);
    } else {
        std::cout << "created outside the vaults this program may read: no contents\n";
    }
    return s.finish(ok);
}

int update(Session& s) {
    const std::string item = s.item();
    const std::string vault = s.vault();
    if (s.args.fields.empty()) throw UsageError("update needs at least one --field NAME");
    TessaroClient::Patch patch;
    // The typed values are wiped on every way out.
    struct Wipe {
        TessaroClient::Patch& patch;
        ~Wipe() {
            for (auto& [field, value] : patch) {
                zeroFill(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(value.data()), value.size()));
            }
        }
    } wipe{patch};
    for (const auto& field : s.args.fields) {
        std::optional<std::string> value;
        try {
            value = readSecretLine("new " + field + ": ", s.interrupts.wakeFD());
        } catch (const PromptInterrupted&) {
            throw TessaroError::cancelled();  // reported and exited as any cancel
        }
        if (!value) throw UsageError("standard input ended before the value of " + field);
        patch[TessaroField(field)] = std::move(*value);
    }
    const TessaroUpdated updated = s.client->updateItem(item, vault, patch, s.reason(), s.stop);
    if (s.args.json) {
        printJSON(forms::updated(updated));
    } else {
        std::cout << "updated " << updated.itemID << " (revision " << updated.revision << ")\n";
    }
    return s.finish(ok);
}

int revoke(Session& s) {
    s.client->revoke(s.stop);
    std::cout << (s.args.json ? forms::dump({{"revoked", true}}) : std::string("revoked")) << "\n";
    return s.finish(ok);
}

int reset(Session& s) {
    s.client->reset();
    // reset() never fails, so it cannot tell whether the wipe took: the store says.
    static const std::vector<std::string> sessionKeys = {
        "approval_seed", "seal_private_key",  "grant_id",      "account_id",
        "access_token",  "access_expires_at", "refresh_token", "account_identity_public_key",
        "vaults"};
    std::string problem;
    try {
        if (!s.store->readMany(sessionKeys).empty()) problem = "the session is still stored";
    } catch (const TessaroKeychain::KeychainError& error) {
        problem = "keyring unavailable (status " + std::to_string(error.status()) + ")";
    }
    if (!problem.empty()) {
        if (s.args.json) printJSON({{"reset", false}, {"error", "keyring_unavailable"}});
        std::cerr << "tessaro: the session could not be forgotten: " << problem << "\n";
        return storeFailure;
    }
    std::cout << (s.args.json ? forms::dump({{"reset", true}}) : std::string("session forgotten")) << "\n";
    return ok;
}

// A failure of the kit: on standard error, and as one JSON object with --json.
int report(const Session& s, const TessaroError& error) {
    if (s.args.json) printJSON(forms::error(error));
    std::cerr << "tessaro: " << error.what();
    if (error.code() == TessaroError::Code::protocol) std::cerr << " (" << error.protocolCode() << ")";
    std::cerr << "\n";
    if (error.code() == TessaroError::Code::notInstalled && error.downloadURL()) {
        std::cerr << "tessaro: nothing could open the password-manager application; get it from "
                  << error.downloadURL()->absoluteString() << "\n";
    }
    return s.finish(exitFor(error.code()));
}

struct Command {
    const char* name;
    const char* help;  // tessaro COMMAND --help
    int (*handler)(Session&);
};

const Command commands[] = {
    {"authorize",
     "Usage: tessaro authorize\n\nOpens the password-manager application to authorize this program and keeps "
     "the\nsession in the desktop secret store.\n\nExample: tessaro authorize\n",
     authorize},
    {"status",
     "Usage: tessaro status\n\nSays whether this program is authorized and shows the grant: its ID, the account, "
     "the\nvaults and the fingerprint of the approval key. Exit 13 when not authorized, 3 when the\nsecret store "
     "cannot be reached.\n\nExample: tessaro status --json\n",
     status},
    {"pick",
     "Usage: tessaro pick [--hint URL] [--vault ID] [--reason TEXT]\n\nLets the user pick an item in the "
     "password-manager application, proposing the one for URL.\n\nExample: tessaro pick --hint https://bank.example "
     "--reason \"登录银行\"\n",
     pick},
    {"get",
     "Usage: tessaro get ITEM --vault ID\n\nReads the item ITEM of vault ID once the user approves.\n\nExample: "
     "tessaro get itm_bank --vault vlt_personal --reveal\n",
     get},
    {"create",
     "Usage: tessaro create [--title T] [--url U] [--username U] [--vault ID] [--reason TEXT]\n\nLets the user create "
     "a login, prefilled with what is given. Without --vault it goes into\nthe first vault the grant may "
     "write.\n\nExample: tessaro create --title Example --url https://example.com\n",
     create},
    {"update",
     "Usage: tessaro update ITEM --vault ID --field NAME [--field NAME ...] [--reason TEXT]\n\nChanges fields of ITEM "
     "(title, username, password, url, notes, or any other name). The new\nvalues are read from standard input, one "
     "line per --field in order, or asked without echo\non a terminal; never from the command line, where other users "
     "can read them.\n\nExample: printf '%s\\n' 'n3w-secret' | tessaro update itm_bank --vault vlt_personal --field "
     "password\n",
     update},
    {"revoke",
     "Usage: tessaro revoke\n\nEnds the grant on the server and forgets the session.\n\nExample: tessaro revoke\n",
     revoke},
    {"reset",
     "Usage: tessaro reset\n\nForgets the session on this computer; the grant stays valid on the server.\n\nExample: "
     "tessaro reset\n",
     reset},
};

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

int run(const Arguments& args) {
    if (args.version) {
        std::cout << "tessaro " << TESSARO_VERSION_STRING << "\n";
        return ok;
    }
    if (args.command.empty()) {
        std::cout << mainHelp;
        return args.help ? ok : usage;
    }
    const Command* command = findCommand(args.command);
    if (!command) throw UsageError("unknown command " + args.command);
    if (args.help) {
        std::cout << command->help;
        return ok;
    }

    const auto origin = setting(args, "--origin", "TESSARO_ORIGIN", "origin");
    const auto clientID = setting(args, "--client-id", "TESSARO_CLIENT_ID", "client_id");
    if (!origin || !clientID)
        throw UsageError("the server's origin and this program's client ID are needed (--origin, --client-id)");
    const auto originURL = URL::parse(*origin);
    if (!originURL) throw UsageError("not a URL: " + *origin);

    // The session's store: its reachability is told apart from the absence of a session.
    auto store = std::make_shared<TessaroKeychain>(*clientID);
    LoopbackRedirect receiver;
    TessaroClient::Options options;
    options.store = store;
    if (const auto openWith = option(args, "--open-with"))
        options.switcher = std::make_shared<CommandSwitcher>(*openWith);
    auto client = TessaroClient::create(
        {*clientID, receiver.redirectURL(), *originURL, TessaroError::defaultDownloadURL()}, options);
    receiver.setClient(client);

    StatusLine statusLine(isatty(STDERR_FILENO));
    client->setOnWaiting([&statusLine](const std::optional<TessaroWaiting>& waiting) { statusLine.update(waiting); });
    std::stop_source stop;  // outlives the interrupts thread, which uses it
    Interrupts interrupts;
    interrupts.onInterrupt([&] {
        client->cancelPending();
        stop.request_stop();
    });

    Session session{args, store, client, interrupts, stop.get_token()};
    try {
        return command->handler(session);
    } catch (const TessaroError& error) {
        return report(session, error);
    } catch (const TessaroKeychain::KeychainError& error) {
        std::cerr << "tessaro: keyring unavailable (status " << error.status() << ")\n";
        return session.finish(storeFailure);
    }
}

}  // namespace
}  // namespace tessaro::cli

int main(int argc, char** argv) {
    using namespace tessaro::cli;
    try {
        return run(parse(argc, argv));
    } catch (const UsageError& error) {
        std::cerr << "tessaro: " << error.what() << "\nTry 'tessaro --help'.\n";
        return usage;
    } catch (const std::exception& error) {
        std::cerr << "tessaro: " << error.what() << "\n";
        return failure;
    }
}
