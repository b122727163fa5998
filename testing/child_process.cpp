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
#include <utility>

extern char** environ;

namespace tessaro::testing {

ChildProcess::ChildProcess(std::string program, std::vector<std::string> arguments, ChildOptions options) {
    int out[2], in[2], err[2] = {-1, -1};
    const bool failed = ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0 ||
                        (options.terminal ? ::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0
                                          : !options.mergeOutput && ::pipe2(err, O_CLOEXEC) != 0);
    if (failed) throw std::runtime_error("cannot make the pipes of " + program);
    if (options.terminal)
        for (int fd : err)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, options.terminal && options.terminalInput ? err[1] : in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, options.mergeOutput ? out[1] : err[1], 2);
    // This process's environment without the entries named by `options.environment`, then its additions.
    std::vector<char*> argv = {program.data()}, envp;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    for (char** at = environ; *at; ++at) {
        const std::string_view name = std::string_view(*at).substr(0, std::string_view(*at).find('='));
        const bool changed = std::ranges::any_of(options.environment, [&](std::string_view change) {
            if (change.ends_with('*')) return name.starts_with(change.substr(0, change.size() - 1));
            return change.substr(0, change.find('=')) == name;
        });
        if (!changed) envp.push_back(*at);
    }
    for (std::string& change : options.environment)
        if (change.find('=') != std::string::npos) envp.push_back(change.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err[1]})
        ::close(fd);  // -1 (no such end) is refused harmlessly
    outRead_ = out[0];
    errRead_ = err[0];
    if (spawned != 0) {  // the destructor does not run for a constructor that throws: close what it would have
        for (int fd : {in[1], outRead_, errRead_})
            ::close(fd);
        throw std::runtime_error("cannot start " + program);
    }
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
    if (!waited_) signal(SIGKILL);
    wait(10s);
}

void ChildProcess::signal(int number) const { ::kill(pid_, number); }

std::string ChildProcess::copy(const std::string& text) {
    std::lock_guard guard(mutex_);
    return text;
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
    return ::tcgetattr(errRead_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

ChildProcess::Result ChildProcess::wait(std::chrono::milliseconds limit) {
    if (std::exchange(waited_, true)) return result_;
    int status = 0;
    const bool killed = !eventually([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, limit);
    if (killed) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    // A grandchild may still hold the pipes open: the reader gives up once they stay quiet.
    childGone_ = true;
    reader_.join();
    // The reader is done: the result is this thread's alone from here on.
    result_.echo = echoes();
    ::close(outRead_);
    ::close(errRead_);
    result_.status = killed ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
}

void ChildProcess::readAll() {
    pollfd fds[2] = {{outRead_, POLLIN, 0}, {errRead_, POLLIN, 0}};  // poll skips a negative descriptor
    char buffer[4096];
    // Until both ends are closed, or a second without data once the child is gone.
    for (int quiet = 0; (fds[0].fd >= 0 || fds[1].fd >= 0) && quiet < 10;) {
        const int ready = ::poll(fds, 2, 100);
        if (ready < 0 && errno != EINTR) break;
        quiet = ready > 0 ? 0 : quiet + (childGone_ ? 1 : 0);
        for (pollfd& fd : fds) {
            if (ready <= 0 || fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
            std::lock_guard guard(mutex_);
            if (n <= 0) fd.fd = -1;  // the end, or EIO once a pseudo-terminal's last writer is gone
            else (&fd == fds ? result_.out : result_.err).append(buffer, static_cast<std::size_t>(n));
        }
    }
}

int runSelf(std::string_view mode, std::vector<std::string> environment, std::chrono::milliseconds limit) {
    const auto result = ChildProcess(ChildMode{std::string(mode)}, {.environment = std::move(environment)}).wait(limit);
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
