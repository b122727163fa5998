#pragma once
// What tessaro does on a terminal: the waiting status line, and reading a value without echo.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <tessaro/records/tessaro_waiting.hpp>

namespace tessaro::cli {

// Shows the client's waiting reports on standard error. On a terminal: one line with a spinner,
// the message and the time left, redrawn in place every 100 ms and erased when the wait ends.
// Otherwise: one plain line per change. update() may be called from any thread.
class StatusLine {
public:
    explicit StatusLine(bool terminal);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void update(const std::optional<TessaroWaiting>& waiting);

private:
    // Whether a redraw shows the spinner's next frame (the spinner's tick) or the same one (a
    // change of the message).
    enum class Frame { same, next };
    void draw(Frame frame);
    void erase();

    const bool terminal_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<TessaroWaiting> current_;
    std::string lastPlain_;
    bool shown_ = false;
    bool stopping_ = false;
    unsigned frame_ = 0;
    std::thread spinner_;
};

// "mm:ss" until `expiresAt`, "0:00" when it is past.
std::string timeLeft(std::chrono::system_clock::time_point now, std::chrono::system_clock::time_point expiresAt);

// Thrown by readSecretLine when an interrupt comes first.
struct PromptInterrupted {};

// One line from standard input; on a terminal it prompts on standard error and does not echo, and
// the echo comes back on every way out. Nothing at end of input. Throws PromptInterrupted as soon
// as `interruptFD` becomes readable (what was typed so far is wiped).
std::optional<std::string> readSecretLine(const std::string& prompt, int interruptFD);

// Turns the echo back on when a prompt had turned it off. Async-signal-safe: a second interrupt's
// handler calls it before it exits.
void restoreTerminal() noexcept;

}  // namespace tessaro::cli
