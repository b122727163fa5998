#include <tessaro/sandbox/testing/sandbox_fixture.hpp>

#include <algorithm>
#include <utility>

namespace tessaro::sandbox::testing {

void Collector::add(const std::string& line) {
    {
        std::lock_guard guard(mutex_);
        lines_.push_back(line);
    }
    changed_.notify_all();
}

std::vector<std::string> Collector::all() const {
    std::lock_guard guard(mutex_);
    return lines_;
}

std::size_t Collector::count(const std::string& needle) const {
    std::lock_guard guard(mutex_);
    return static_cast<std::size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const std::string& line) { return line.find(needle) != std::string::npos; }));
}

std::optional<std::string> Collector::waitFor(const std::function<bool(const std::string&)>& match,
                                              std::chrono::milliseconds limit) {
    std::unique_lock guard(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(guard, limit, [&] {
        const auto it = std::find_if(lines_.begin(), lines_.end(), match);
        if (it != lines_.end()) found = *it;
        return found.has_value();
    });
    return found;
}

std::optional<std::string> Collector::waitFor(const std::string& needle, std::chrono::milliseconds limit) {
    return waitFor([&](const std::string& line) { return line.find(needle) != std::string::npos; }, limit);
}

SandboxFixture::SandboxFixture(Options options, Delivery delivery) {
    options.log = [log = log_, forward = std::move(options.log)](const std::string& line) {
        log->add(line);
        if (forward) forward(line);
    };
    if (delivery == Delivery::collect) {
        options.deliver = [callbacks = callbacks_, forward = std::move(options.deliver)](const std::string& url) {
            callbacks->add(url);
            if (forward) forward(url);
        };
    }
    if (!options.clock) {
        options.clock = [offset = offset_] {
            return std::chrono::system_clock::now() + std::chrono::seconds(offset->load());
        };
    }
    sandbox_ = std::make_unique<Sandbox>(std::move(options));
    switcher_ = std::make_shared<SandboxAppSwitcher>(*sandbox_);
}

SandboxFixture::~SandboxFixture() { sandbox_->stop(); }

std::int64_t SandboxFixture::serverSeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(sandbox_->now().time_since_epoch()).count();
}

}  // namespace tessaro::sandbox::testing
