#include <tessaro/sandbox/app_switcher.hpp>

#include <tessaro/records/tessaro_error.hpp>

namespace tessaro::sandbox {

void SandboxAppSwitcher::open(const URL& url, const URL& downloadURL, std::stop_token) {
    if (!installed_ || !sandbox_.open(url.absoluteString()).accepted) throw TessaroError::notInstalled(downloadURL);
}

TessaroAppSwitching::Registration SandboxAppSwitcher::onForeground(std::function<void()>) {
    return Registration([] {});
}

}  // namespace tessaro::sandbox
