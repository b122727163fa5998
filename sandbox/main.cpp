// tessaro-sandbox: serve the sandbox, hand a launch URL / a policy to a running one, or register
// the program as the calling user's handler of tessaro:// URLs.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>

#include <tessaro/records/url.hpp>
#include <tessaro/sandbox/sandbox.hpp>

namespace {

using tessaro::sandbox::Policy;

constexpr const char* usage = R"(Usage:
  tessaro-sandbox [serve] [OPTIONS]      run the sandbox server and simulated user
  tessaro-sandbox open URL [--origin O]  hand a tessaro:// launch URL to a running sandbox
  tessaro-sandbox policy [POLICY OPTIONS] [--origin O]
                                         change the policy of a running sandbox
  tessaro-sandbox register-handler [--desktop-file PATH]
                                         make this program the handler of tessaro:// URLs
                                         for the calling user

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
  --state-file PATH         record the running sandbox in this one file instead of its
                            own PID.json (0600, removed when it stops) in the state
                            directory $XDG_RUNTIME_DIR/tessaro-sandbox/, else
                            /tmp/tessaro-sandbox-UID/ (under $TMPDIR when set)
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
                            one sandbox recorded in the state directory; refused, listing
                            their origins, when several run)
  --state-file PATH         read this state file instead of the state directory

register-handler copies the desktop entry installed with this program
(PREFIX/share/tessaro-sandbox/tessaro-sandbox.desktop, else PREFIX/share/applications/),
its Exec line naming this executable, into $XDG_DATA_HOME/applications/ (default
~/.local/share/applications/) and makes it the default for x-scheme-handler/tessaro in
$XDG_CONFIG_HOME/mimeapps.list (default ~/.config/mimeapps.list), keeping every other line of
that file. Nothing outside the user's own folders changes.
  --desktop-file PATH       register this entry instead (it must declare
                            MimeType=x-scheme-handler/tessaro)

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

// Running sandboxes record themselves one file each, named by pid, in this directory (private:
// 0700, created on demand); `open` and `policy` look for them there.
std::string defaultStateDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::string(runtime) + "/tessaro-sandbox";
    }
    std::error_code failed;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(failed);
    if (failed) temporary = "/tmp";
    return (temporary / ("tessaro-sandbox-" + std::to_string(getuid()))).string();
}

// The state directory as an open descriptor, or -1 with `problem` set (empty when it does not
// exist and `create` is false). A symlink, or a directory that is not ours or is open to others,
// is refused: in a shared temporary directory it may have been planted by someone else.
int openStateDirectory(const std::string& path, bool create, std::string& problem) {
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot create " + path + ": " + std::strerror(errno);
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ENOENT ? "" : path + " is not a directory of its own (" + std::strerror(errno) + ")";
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_uid != getuid() || (info.st_mode & 077) != 0) {
        ::close(fd);
        problem = path + " is not a private directory of this user (expected mode 0700)";
        return -1;
    }
    return fd;
}

// A file in an open directory, kept open for the process's lifetime.
struct StateFile {
    int directory = -1;
    std::string name;
    std::string path;  // for messages
};

// When process `pid` started (/proc/PID/stat field 22, clock ticks after boot): tells a
// sandbox from a later process that was given the same pid.
std::optional<unsigned long long> processStart(long long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    const auto name = text.rfind(')');  // the command name may contain spaces and parentheses
    if (name == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(name + 1));
    std::string field;
    for (int number = 3; fields >> field; ++number) {
        if (number == 22) {
            const auto value = parseWhole(field, 0, std::numeric_limits<long long>::max());
            if (!value) return std::nullopt;
            return static_cast<unsigned long long>(*value);
        }
    }
    return std::nullopt;
}

void writeStateFile(const StateFile& file, const std::string& origin) {
    nlohmann::json state = {{"origin", origin},
                            {"pid", static_cast<long long>(getpid())},
                            {"demo_client_id", std::string(tessaro::sandbox::Sandbox::demoClientID)}};
    if (const auto started = processStart(getpid())) state["started"] = *started;
    // Written whole under a temporary name, then renamed: a reader never sees half a file, and
    // neither name is followed if it is a symlink.
    const std::string temporary = file.name + ".tmp";
    ::unlinkat(file.directory, temporary.c_str(), 0);
    const int fd =
        ::openat(file.directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::cerr << "tessaro-sandbox: cannot write the state file " << file.path << ": " << std::strerror(errno)
                  << "\n";
        return;
    }
    const std::string text = state.dump() + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written || ::renameat(file.directory, temporary.c_str(), file.directory, file.name.c_str()) != 0) {
        ::unlinkat(file.directory, temporary.c_str(), 0);
        std::cerr << "tessaro-sandbox: cannot write the state file " << file.path << "\n";
    }
}

std::optional<nlohmann::json> readStateFile(int directory, const std::string& name) {
    const int fd = ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size < 64 * 1024) {
        text.resize(static_cast<std::size_t>(info.st_size));
        if (::read(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) text.clear();
    }
    ::close(fd);
    nlohmann::json state = nlohmann::json::parse(text, nullptr, false);
    if (!state.is_object() || !state["origin"].is_string() || !state["pid"].is_number_integer()) return std::nullopt;
    return state;
}

// Whether the process a state file records still runs (and is the one that wrote it).
bool isRunning(const nlohmann::json& state) {
    const long long pid = state["pid"].get<long long>();
    // A sandbox runs as this user, so a process we may not signal is someone else's.
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) return false;
    if (!state.contains("started")) return true;
    const auto started = processStart(pid);
    return !started ||
           (state["started"].is_number_unsigned() && state["started"].get<unsigned long long>() == *started);
}

// --state-file PATH: a file the user named, in a directory of their choosing.
std::optional<StateFile> openExplicitStateFile(const std::string& path, std::string& problem) {
    const std::filesystem::path file(path);
    const std::string parent = file.has_parent_path() ? file.parent_path().string() : ".";
    const int directory = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0 || !file.has_filename()) {
        if (directory >= 0) ::close(directory);
        problem =
            "cannot use the state file " + path + ": " + (directory < 0 ? std::strerror(errno) : "not a file name");
        return std::nullopt;
    }
    return StateFile{directory, file.filename().string(), path};
}

void removeStateFile(const StateFile& file) {
    // Only our own record: with an explicit --state-file another sandbox may have taken it over.
    const auto state = readStateFile(file.directory, file.name);
    if (state && (*state)["pid"].get<long long>() == static_cast<long long>(getpid())) {
        ::unlinkat(file.directory, file.name.c_str(), 0);
    }
}

struct Instance {
    long long pid = 0;
    std::string origin;
};

// The sandboxes recorded in the state directory that still run, by pid. Files of processes
// that have ended are removed.
std::vector<Instance> runningInstances(int directory) {
    std::vector<Instance> running;
    const int listing = ::dup(directory);
    DIR* entries = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!entries) {
        if (listing >= 0) ::close(listing);
        return running;
    }
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (!name.ends_with(".json")) continue;
        const auto pid = parseWhole(name.substr(0, name.size() - 5), 1, std::numeric_limits<pid_t>::max());
        if (!pid) continue;
        const auto state = readStateFile(directory, name);
        if (!state || (*state)["pid"].get<long long>() != *pid) continue;
        if (!isRunning(*state)) {
            ::unlinkat(directory, name.c_str(), 0);
            continue;
        }
        running.push_back({*pid, (*state)["origin"].get<std::string>()});
    }
    ::closedir(entries);
    std::sort(running.begin(), running.end(), [](const Instance& a, const Instance& b) { return a.pid < b.pid; });
    return running;
}

// An IPv4 literal in 127.0.0.0/8, or [::1]: where a sandbox listens.
bool isLoopbackAddress(const std::string& host) {
    if (host == "[::1]") return true;
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

int post(const std::string& origin, const std::string& path, const nlohmann::json& body) {
    const auto url = tessaro::URL::parse(origin);
    if (!url || url->scheme() != "http" || !isLoopbackAddress(url->host()) || !url->port()) {
        fail("the origin must be http://127.0.0.1:PORT: " + origin);
    }
    std::string host = url->host();
    if (host.starts_with('[')) host = host.substr(1, host.size() - 2);
    httplib::Client client(host, *url->port());
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
    std::optional<std::string> stateFile;    // one explicit file instead of the state directory
    std::optional<std::string> desktopFile;  // register-handler: the entry to register
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
        if (args.command != "serve" && args.command != "open" && args.command != "policy" &&
            args.command != "register-handler") {
            fail("unknown command: " + args.command + " (see --help)");
        }
    }
    enum {
        port = 1000,
        tokenLifetime,
        refreshLifetime,
        codeLifetime,
        requestLifetime,
        client,
        deliver,
        stateFile,
        noStateFile,
        quiet,
        decision,
        delay,
        step,
        pick,
        create,
        update,
        grantVaults,
        origin,
        desktopFile
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
        {"desktop-file", required_argument, nullptr, desktopFile},
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
                case desktopFile: args.desktopFile = value; break;
                default: fail("see --help");
            }
        } catch (const std::invalid_argument& error) {
            fail(error.what());
        }
    }
    for (int i = optind; i < argc; ++i)
        args.positional.emplace_back(argv[i]);
    return args;
}

// The running sandbox: --origin, $TESSARO_SANDBOX_ORIGIN, the --state-file, or the one sandbox
// recorded in the state directory.
std::string findOrigin(const Arguments& args) {
    if (args.origin) return *args.origin;
    if (const char* env = std::getenv("TESSARO_SANDBOX_ORIGIN"); env && *env) return env;
    if (args.stateFile) {
        std::string problem;
        const auto file = openExplicitStateFile(*args.stateFile, problem);
        if (!file) fail(problem);
        const auto state = readStateFile(file->directory, file->name);
        if (!state) fail("no running sandbox found (no state file " + *args.stateFile + "); pass --origin");
        if (!isRunning(*state))
            fail("the sandbox recorded in " + *args.stateFile + " is no longer running; pass --origin");
        return (*state)["origin"].get<std::string>();
    }
    const std::string path = defaultStateDirectory();
    std::string problem;
    const int directory = openStateDirectory(path, false, problem);
    const std::vector<Instance> running = directory < 0 ? std::vector<Instance>{} : runningInstances(directory);
    if (directory >= 0) ::close(directory);
    if (running.empty()) {
        fail("no running sandbox found in " + path + (problem.empty() ? "" : " (" + problem + ")") +
             "; start one with \"tessaro-sandbox\", or pass --origin");
    }
    if (running.size() > 1) {
        std::string list;
        for (const Instance& instance : running) {
            list += "\n  " + instance.origin + " (pid " + std::to_string(instance.pid) + ")";
        }
        fail(std::to_string(running.size()) + " sandboxes are running; pass --origin with one of:" + list);
    }
    return running.front().origin;
}

// register-handler: the calling user's desktop sends tessaro:// URLs to this program. Only the
// user's own XDG folders change; the entry installed with the program stays as it is.

// The desktop entry installed beside this executable: PREFIX/share/tessaro-sandbox/ (where the
// Debian package keeps it, out of the system-wide application list), else
// PREFIX/share/applications/ (cmake --install).
std::filesystem::path installedDesktopFile() {
    std::error_code failed;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed) fail("cannot find this program's own path (" + failed.message() + "); pass --desktop-file PATH");
    const std::filesystem::path share = self.parent_path().parent_path() / "share";
    for (const char* folder : {"tessaro-sandbox", "applications"}) {
        const std::filesystem::path candidate = share / folder / "tessaro-sandbox.desktop";
        if (std::filesystem::is_regular_file(candidate, failed)) return candidate;
    }
    fail("no desktop entry installed with this program (looked for " + (share / "tessaro-sandbox").string() +
         "/tessaro-sandbox.desktop); pass --desktop-file PATH");
}

// $NAME when it is an absolute path, else `fallback` under $HOME (the XDG base directory rules).
std::filesystem::path xdgDirectory(const char* name, const char* fallback) {
    if (const char* value = std::getenv(name); value && value[0] == '/') return value;
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') fail(std::string("neither ") + name + " nor HOME is an absolute path");
    return std::filesystem::path(home) / fallback;
}

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path.string() + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes `text` under a temporary name in the same folder, then renames it over `path`: a reader
// never sees half a file. A symlinked file (a dotfile manager's) is written where it points.
void replaceFile(std::filesystem::path path, const std::string& text) {
    std::error_code failed;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, failed))) {
        path = std::filesystem::canonical(path, failed);
        if (failed) fail("cannot resolve the symlink " + path.string() + ": " + failed.message());
    }
    std::filesystem::create_directories(path.parent_path(), failed);
    if (failed) fail("cannot create " + path.parent_path().string() + ": " + failed.message());
    const std::filesystem::path temporary = path.string() + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::filesystem::remove(temporary, failed);
            fail("cannot write " + temporary.string());
        }
    }
    std::filesystem::rename(temporary, path, failed);
    if (failed) {
        std::filesystem::remove(temporary, failed);
        fail("cannot replace " + path.string());
    }
}

// `path` as one argument of a desktop entry's Exec key: quoted when it has reserved characters,
// then escaped once more as a string value: a desktop entry's Exec key is read at two levels.
std::string execArgument(const std::string& path) {
    if (path.find_first_of("\n\r") != std::string::npos) fail("this program's path contains a line break");
    const bool reserved = path.find_first_of(" \t\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string argument;
    for (const char c : path) {
        if (reserved && (c == '"' || c == '`' || c == '$' || c == '\\')) argument += '\\';
        if (c == '%') argument += '%';
        argument += c;
    }
    if (reserved) argument = '"' + argument + '"';
    std::string value;
    for (const char c : argument) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The entry as the user's copy: its Exec program, when it is the bare name tessaro-sandbox (found
// through PATH), becomes this executable, so the desktop starts this very program. Refused unless
// its [Desktop Entry] group declares x-scheme-handler/tessaro and has an Exec key.
std::string userEntry(const std::string& text, const std::filesystem::path& source, const std::string& self) {
    std::istringstream lines(text);
    std::string result, group;
    bool handles = false, executes = false;
    for (std::string line; std::getline(lines, line);) {
        const std::string bare = trimmed(line);
        if (bare.starts_with('[')) group = bare;
        const auto equals = line.find('=');
        const std::string key = equals == std::string::npos ? "" : trimmed(line.substr(0, equals));
        if (group == "[Desktop Entry]" && key == "MimeType") {
            std::istringstream types(line.substr(equals + 1));
            for (std::string type; std::getline(types, type, ';');) {
                if (trimmed(type) == "x-scheme-handler/tessaro") handles = true;
            }
        } else if (group == "[Desktop Entry]" && key == "Exec") {
            executes = true;
            const std::string command = trimmed(line.substr(equals + 1));
            if (command == "tessaro-sandbox" || command.starts_with("tessaro-sandbox ")) {
                line = "Exec=" + execArgument(self) + command.substr(std::strlen("tessaro-sandbox"));
            }
        }
        result += line + "\n";
    }
    if (!handles || !executes) {
        fail(source.string() + " is not a desktop entry for tessaro:// URLs (its [Desktop Entry] needs an Exec " +
             "key and MimeType=x-scheme-handler/tessaro)");
    }
    return result;
}

// A mimeapps.list (perhaps empty) with `key` set to `value` in [Default Applications]: the line
// goes at the head of that group, replacing every line of the same key, or the group is appended.
// Every other line stays as it was.
std::string withDefaultApplication(const std::string& text, const std::string& key, const std::string& value) {
    std::istringstream lines(text);
    std::string result, group;
    bool written = false;
    for (std::string line; std::getline(lines, line);) {
        const std::string bare = trimmed(line);
        if (bare.starts_with('[')) group = bare;
        const auto equals = line.find('=');
        const bool inDefaults = group == "[Default Applications]";
        if (inDefaults && !bare.starts_with('#') && equals != std::string::npos &&
            trimmed(line.substr(0, equals)) == key)
            continue;
        result += line + "\n";
        if (inDefaults && bare == group && !written) {
            result += key + "=" + value + "\n";
            written = true;
        }
    }
    if (!written) {
        if (!result.empty() && !result.ends_with("\n\n")) result += "\n";
        result += "[Default Applications]\n" + key + "=" + value + "\n";
    }
    return result;
}

int registerHandler(const Arguments& args) {
    if (!args.positional.empty()) fail("unexpected argument: " + args.positional.front());
    const std::filesystem::path source =
        args.desktopFile ? std::filesystem::path(*args.desktopFile) : installedDesktopFile();
    if (source.extension() != ".desktop") fail("a desktop entry's name ends in .desktop: " + source.string());
    std::error_code failed;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed) fail("cannot find this program's own path: " + failed.message());
    const std::string entry = userEntry(readWholeFile(source), source, self.string());

    const std::filesystem::path applications = xdgDirectory("XDG_DATA_HOME", ".local/share") / "applications";
    const std::filesystem::path mimeapps = xdgDirectory("XDG_CONFIG_HOME", ".config") / "mimeapps.list";
    const std::string id = source.filename().string();
    replaceFile(applications / id, entry);
    const std::string list = std::filesystem::exists(mimeapps) ? readWholeFile(mimeapps) : "";
    replaceFile(mimeapps, withDefaultApplication(list, "x-scheme-handler/tessaro", id));
    std::cout << "tessaro-sandbox: " << (applications / id).string() << " now opens tessaro:// URLs for this user ("
              << "x-scheme-handler/tessaro=" << id << " in " << mimeapps.string() << ")" << std::endl;
    return 0;
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
    std::optional<StateFile> stateFile;
    std::string problem;
    if (args.useStateFile && args.stateFile) {
        stateFile = openExplicitStateFile(*args.stateFile, problem);
    } else if (args.useStateFile) {
        const std::string path = defaultStateDirectory();
        if (const int directory = openStateDirectory(path, true, problem); directory >= 0) {
            runningInstances(directory);  // clears the records of sandboxes that have ended
            const std::string name = std::to_string(getpid()) + ".json";
            stateFile = StateFile{directory, name, path + "/" + name};
        }
    }
    if (args.useStateFile && !stateFile)
        std::cerr << "tessaro-sandbox: not recording this sandbox: " << problem << "\n";
    if (stateFile) writeStateFile(*stateFile, origin);
    std::cout << "TESSARO_SANDBOX_ORIGIN=" << origin << "\n"
              << "TESSARO_SANDBOX_CLIENT_ID=" << tessaro::sandbox::Sandbox::demoClientID << std::endl;
    if (!args.quiet) {
        std::cerr << "tessaro-sandbox: serving " << origin << " for client " << tessaro::sandbox::Sandbox::demoClientID
                  << " (account acct_demo, policy " << sandbox->policy().toJSON().dump() << ")" << std::endl;
    }

    int received = 0;
    sigwait(&signals, &received);
    if (!args.quiet) std::cerr << "tessaro-sandbox: stopping" << std::endl;
    sandbox->stop();
    if (stateFile) removeStateFile(*stateFile);
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
            return post(findOrigin(args), "/sandbox/open", {{"url", args.positional.front()}});
        }
        if (args.command == "register-handler") return registerHandler(args);
        if (args.command == "policy") {
            if (!args.positional.empty()) fail("unexpected argument: " + args.positional.front());
            return post(findOrigin(args), "/sandbox/policy", args.policyChanges);
        }
        return serve(args);
    } catch (const std::exception& error) {
        fail(error.what());
    }
}
