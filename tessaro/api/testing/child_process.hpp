#pragma once
// A test binary run again as a child process in a named mode: the child runs the mode's function
// before main (no test of it is registered, so a normal run never sees it) and exits with its
// status.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace tessaro::testing {

inline constexpr const char* childModeVariable = "TESSARO_TEST_CHILD_MODE";

// Starts this binary again with TESSARO_TEST_CHILD_MODE=mode and `environment` applied to this
// process's environment: a "NAME=value" entry adds or replaces NAME, a bare "NAME" removes it; -1
// when it cannot be started.
inline pid_t spawnSelf(const std::string& mode, const std::vector<std::string>& environment = {}) {
    std::vector<std::string> entries = {std::string(childModeVariable) + "=" + mode};
    entries.insert(entries.end(), environment.begin(), environment.end());
    for (char** at = environ; *at; ++at) {
        const std::string_view entry = *at;
        const auto name = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(entries.begin(), entries.end(), [&](const std::string& mine) {
            return mine.substr(0, mine.find('=')) == name;
        });
        if (!replaced) entries.emplace_back(entry);
    }
    std::vector<char*> envp;
    for (auto& entry : entries) {
        if (entry.find('=') != std::string::npos) envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    char* argv[] = {self.data(), nullptr};
    pid_t child = -1;
    if (posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    return child;
}

// The child's exit status (128 + signal when killed); killed and -1 after `limit`.
inline int waitChild(pid_t child, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    if (child <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) != child) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// In a static initializer of the test binary: when this process is a child in `mode`, runs `body`
// and exits with its status (3 when it throws); otherwise returns 0 and the tests run.
inline int runChildMode(std::string_view mode, const std::function<int()>& body) {
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
