#include "terminal.hpp"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace tessaro::cli {

namespace {

constexpr const char* frames[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};

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
            if (current_ && !stopping_) draw(true);
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
            line += " (" + timeLeft(std::chrono::system_clock::now(),
                                    std::chrono::time_point_cast<std::chrono::system_clock::duration>(*waiting->expiresAt)) +
                    ")";
        }
        if (line != lastPlain_) std::cerr << "tessaro: " << line << std::endl;
        lastPlain_ = line;
        return;
    }
    if (waiting) {
        draw(false);
    } else if (shown_) {
        erase();
    }
}

// Called with the mutex held.
void StatusLine::draw(bool advance) {
    if (advance) ++frame_;
    std::string line = std::string("\r\033[K") + frames[frame_ % 10] + " " + current_->message();
    if (current_->expiresAt) {
        line += "  剩余 " + timeLeft(std::chrono::system_clock::now(),
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

std::optional<std::string> readSecretLine(const std::string& prompt) {
    const bool terminal = isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        std::cerr << prompt << std::flush;
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << std::endl;
    }
    if (!read) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace tessaro::cli
