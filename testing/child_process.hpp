#pragma once
// Child processes for the tests: a program, or this test binary run again in a named child mode,
// with its environment changed, its output captured through pipes or a pseudo-terminal, and every
// wait bounded (the child is killed at the limit, so a hung child never hangs the suite).

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tessaro::testing {

using namespace std::chrono_literals;

// The variable that names a child's mode (see runChildMode).
inline constexpr const char* childModeVariable = "TESSARO_TEST_CHILD_MODE";

struct ChildOptions {
    // Applied to this process's environment: "NAME=value" adds or replaces NAME, a bare "NAME"
    // removes it, and "PREFIX*" removes every variable whose name starts with PREFIX.
    std::vector<std::string> environment{};
    std::string input{};         // written to the standard input, which is then closed
    bool terminal = false;       // the standard error goes to a pseudo-terminal
    bool terminalInput = false;  // with terminal: the standard input comes from it as well
    bool mergeOutput = false;    // the standard error goes into the standard output's pipe
};

// This test binary run again in a child mode (see runChildMode).
struct ChildMode {
    std::string name;
    std::vector<std::string> arguments{};
};

// A running child. Its output is read on a thread of its own; the destructor kills and reaps it.
class ChildProcess {
public:
    struct Result {
        int status = -1;  // the exit status; 128 + the signal that ended it; -1 when killed at the limit
        std::string out;
        std::string err;
        bool echo = false;  // with terminal: whether it echoes once the child is gone
    };

    // Starts `program` with `arguments`; throws std::runtime_error when it cannot be started.
    ChildProcess(std::string program, std::vector<std::string> arguments, ChildOptions options = {});
    // Starts this test binary again in `mode`.
    explicit ChildProcess(const ChildMode& mode, ChildOptions options = {});
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    void signal(int number) const;
    // The standard output and error so far.
    std::string out() { return copy(result_.out); }
    std::string err() { return copy(result_.err); }
    // The first line of the standard output containing `needle`, waiting at most `limit`.
    std::optional<std::string> lineWith(const std::string& needle, std::chrono::milliseconds limit = 10s);
    // With terminal: whether the pseudo-terminal echoes what is typed.
    bool echoes() const;
    // Waits for the child to end, killing it after `limit`.
    Result wait(std::chrono::milliseconds limit = 60s);

private:
    void readAll();
    std::string copy(const std::string& text);  // under the reader's lock

    pid_t pid_ = -1;
    int outRead_ = -1;
    int errRead_ = -1;
    bool waited_ = false;
    std::atomic<bool> childGone_{false};
    std::mutex mutex_;
    Result result_;
    std::thread reader_;
};

// This test binary run in `mode` with `environment` applied: its exit status, waiting at most
// `limit`.
int runSelf(std::string_view mode, std::vector<std::string> environment = {}, std::chrono::milliseconds limit = 60s);

// In a static initializer of the test binary: when this process is a child in `mode`, runs `body`
// and exits with its status (3 when it throws); otherwise returns 0 and the tests run.
int runChildMode(std::string_view mode, const std::function<int()>& body);

}  // namespace tessaro::testing
