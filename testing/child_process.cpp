#include <testing/child_process.hpp>
#include <testing/eventually.hpp>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tessaro::testing {

namespace {

// This process's environment with `changes` applied (see ChildOptions::environment).
std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> entries;
    for (char** at = environ; *at; ++at) {
        const std::string_view entry = *at;
        const auto name = entry.substr(0, entry.find('='));
        const bool changed = std::any_of(changes.begin(), changes.end(), [&](const std::string& change) {
            const std::string_view text = change;
            if (text.ends_with('*')) return name.starts_with(text.substr(0, text.size() - 1));
            return text.substr(0, text.find('=')) == name;
        });
        if (!changed) entries.emplace_back(entry);
    }
    for (const auto& change : changes) {
        if (change.find('=') != std::string::npos) entries.push_back(change);
    }
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           ChildOptions options) {
    int out[2], in[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    int errWrite = -1;
    if (options.terminal) {
        if (::openpty(&errRead_, &errWrite, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        ::fcntl(errRead_, F_SETFD, FD_CLOEXEC);
        ::fcntl(errWrite, F_SETFD, FD_CLOEXEC);
    } else if (!options.mergeOutput) {
        if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        errRead_ = err[0];
        errWrite = err[1];
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, options.terminal && options.terminalInput ? errWrite : in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, options.mergeOutput ? out[1] : errWrite, 2);
    std::vector<std::string> argumentTexts = {program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    auto environmentTexts = environmentWith(options.environment);
    const auto argv = pointers(argumentTexts);
    const auto envp = pointers(environmentTexts);
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (errWrite >= 0) ::close(errWrite);
    outRead_ = out[0];
    if (spawned != 0) {
        // The destructor does not run for a constructor that throws: close what it would have.
        ::close(in[1]);
        ::close(outRead_);
        if (errRead_ >= 0) ::close(errRead_);
        throw std::runtime_error("cannot start " + program);
    }
    terminal_ = options.terminal;
    (void)!::write(in[1], options.input.data(), options.input.size());
    ::close(in[1]);
    reader_ = std::thread([this] { readAll(); });
}

ChildProcess::ChildProcess(const ChildMode& mode, ChildOptions options)
    : ChildProcess(std::filesystem::read_symlink("/proc/self/exe"), mode.arguments, [&] {
          options.environment.insert(options.environment.begin(), std::string(childModeVariable) + "=" + mode.name);
          return std::move(options);
      }()) {}

ChildProcess::~ChildProcess() {
    if (!waited_) {
        signal(SIGKILL);
        wait(10s);
    }
}

void ChildProcess::signal(int number) const {
    if (pid_ > 0) ::kill(pid_, number);
}

std::string ChildProcess::out() {
    std::lock_guard guard(mutex_);
    return result_.out;
}

std::string ChildProcess::err() {
    std::lock_guard guard(mutex_);
    return result_.err;
}

std::optional<std::string> ChildProcess::lineWith(const std::string& needle, std::chrono::milliseconds limit) {
    std::optional<std::string> found;
    eventually(
        [&] {
            std::istringstream lines(out());
            // Only whole lines: the last one counts once its newline is in.
            for (std::string line; !found && std::getline(lines, line) && !lines.eof();)
                if (line.find(needle) != std::string::npos) found = line;
            return found.has_value();
        },
        limit);
    return found;
}

bool ChildProcess::echoes() const {
    termios settings{};
    return terminal_ && ::tcgetattr(errRead_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

ChildProcess::Result ChildProcess::wait(std::chrono::milliseconds limit) {
    if (waited_) {
        std::lock_guard guard(mutex_);
        return result_;
    }
    waited_ = true;
    int status = 0;
    const bool killed = !eventually([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, limit);
    if (killed) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    // A grandchild may still hold the pipes open: the reader gives up once they stay quiet.
    childGone_ = true;
    reader_.join();
    const std::optional<bool> echo = terminal_ ? std::optional(echoes()) : std::nullopt;
    ::close(outRead_);
    if (errRead_ >= 0) ::close(errRead_);
    std::lock_guard guard(mutex_);
    result_.echo = echo;
    result_.status = killed ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
}

void ChildProcess::readAll() {
    pollfd fds[2] = {{outRead_, POLLIN, 0}, {errRead_, POLLIN, 0}};
    int open = errRead_ >= 0 ? 2 : 1;  // poll skips a negative descriptor
    char buffer[4096];
    int quiet = 0;  // polls in a row without data since the child is gone
    while (open > 0) {
        const int ready = ::poll(fds, 2, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            if (childGone_ && ++quiet >= 10) break;
            continue;
        }
        quiet = 0;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {  // the end, or EIO once a pseudo-terminal's last writer is gone
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::lock_guard guard(mutex_);
            (i == 0 ? result_.out : result_.err).append(buffer, static_cast<std::size_t>(n));
        }
    }
}

int runSelf(std::string_view mode, std::vector<std::string> environment, std::chrono::milliseconds limit) {
    ChildProcess child(ChildMode{std::string(mode)}, {.environment = std::move(environment)});
    const auto result = child.wait(limit);
    std::cerr << result.out << result.err;
    return result.status;
}

int runChildMode(std::string_view mode, const std::function<int()>& body) {
    const char* current = std::getenv(childModeVariable);
    if (current == nullptr || mode != current) return 0;
    int status = 3;
    try {
        status = body();
    } catch (const std::exception& error) {
        std::cerr << "child " << mode << ": " << error.what() << "\n";
    }
    std::cerr.flush();
    std::_Exit(status);
}

}  // namespace tessaro::testing
