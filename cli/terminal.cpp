#include "terminal.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <span>

#include <tessaro/crypto/bytes.hpp>

namespace tessaro::cli {

namespace {

constexpr const char* frames[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};

// The terminal's settings from before a prompt turned the echo off, for restoreTerminal.
termios echoing{};
std::atomic<bool> echoOff{false};

void wipe(std::string& text) {
    zeroFill(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
    text.clear();
}

}  // namespace

std::string timeLeft(std::chrono::system_clock::time_point now, std::chrono::system_clock::time_point expiresAt) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(expiresAt - now).count();
    const long long left = seconds > 0 ? seconds : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", left / 60, left % 60);
    return text;
}

StatusLine::StatusLine(bool terminal) : terminal_(terminal) {
    if (!terminal_) return;
    spinner_ = std::thread([this] {
        std::unique_lock guard(mutex_);
        while (!stopping_) {
            changed_.wait_for(guard, std::chrono::milliseconds(100));
            if (current_ && !stopping_) draw(Frame::next);
        }
    });
}

StatusLine::~StatusLine() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
        if (shown_) erase();
    }
    changed_.notify_all();
    if (spinner_.joinable()) spinner_.join();
}

void StatusLine::update(const std::optional<TessaroWaiting>& waiting) {
    std::lock_guard guard(mutex_);
    current_ = waiting;
    if (!terminal_) {
        if (!waiting) return;
        std::string line = waiting->message();
        if (waiting->expiresAt) {
            line += " (" +
                    timeLeft(std::chrono::system_clock::now(),
                             std::chrono::time_point_cast<std::chrono::system_clock::duration>(*waiting->expiresAt)) +
                    ")";
        }
        if (line != lastPlain_) std::cerr << "tessaro: " << line << std::endl;
        lastPlain_ = line;
        return;
    }
    if (waiting) {
        draw(Frame::same);
    } else if (shown_) {
        erase();
    }
}

// Called with the mutex held.
void StatusLine::draw(Frame frame) {
    if (frame == Frame::next) ++frame_;
    std::string line = std::string("\r\033[K") + frames[frame_ % 10] + " " + current_->message();
    if (current_->expiresAt) {
        line += "  剩余 " +
                timeLeft(std::chrono::system_clock::now(),
                         std::chrono::time_point_cast<std::chrono::system_clock::duration>(*current_->expiresAt));
    }
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    shown_ = true;
}

void StatusLine::erase() {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

void restoreTerminal() noexcept {
    if (echoOff.exchange(false)) tcsetattr(STDIN_FILENO, TCSAFLUSH, &echoing);
}

std::optional<std::string> readSecretLine(const std::string& prompt, int interruptFD) {
    const bool terminal = isatty(STDIN_FILENO);
    if (terminal) {
        // The echo goes off before the prompt shows: what the user types after seeing it is
        // neither echoed nor flushed away.
        tcgetattr(STDIN_FILENO, &echoing);
        termios quiet = echoing;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        echoOff = true;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        std::cerr << prompt << std::flush;
    }
    struct Restore {
        bool terminal;
        ~Restore() {
            if (!terminal) return;
            restoreTerminal();
            std::cerr << std::endl;
        }
    } restore{terminal};

    // Byte by byte, so that nothing past the line is taken from the input, and a value is never
    // moved to a larger buffer (which would leave a copy behind) unless it is very long.
    std::string line;
    line.reserve(1024);
    bool ended = false;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {interruptFD, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            ended = true;
            break;
        }
        if (fds[1].revents != 0) {
            wipe(line);
            throw PromptInterrupted{};
        }
        if (fds[0].revents == 0) continue;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        if (c == '\n') break;
        line.push_back(c);
    }
    if (ended && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace tessaro::cli
