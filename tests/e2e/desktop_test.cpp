// Authorization through the desktop's own URL handling: TessaroSystemAppSwitcher asks GIO for the
// handler of tessaro:// URLs, which is a desktop entry running `tessaro-sandbox open`. It runs in a
// child process whose XDG directories hold nothing but that entry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <tessaro/client/app_switching.hpp>
#include <tessaro/client/tessaro_client.hpp>
#include <tessaro/stores/memory_store.hpp>

#include <testing/desktop_folders.hpp>

#include "e2e_support.hpp"

namespace tessaro::e2e {

namespace fs = std::filesystem;

namespace {

constexpr const char* directoryVariable = "TESSARO_E2E_DIR";

// In the child: a sandbox of its own, whose origin the handler script reads from the directory; a
// client that opens it through the desktop and receives its callbacks through the host's routing.
int childAuthorizeThroughDesktop() {
    const char* directory = std::getenv(directoryVariable);
    if (!directory) return 2;
    std::shared_ptr<TessaroClient> client;  // set before the sandbox has a callback to hand over
    sandbox::Options options;
    options.deliver = [&client](const std::string& url) { client->handleCallback(*URL::parse(url)); };
    sandbox::testing::SandboxFixture sandbox(std::move(options));
    {
        std::ofstream(fs::path(directory) / "origin.part") << sandbox.origin();
        fs::rename(fs::path(directory) / "origin.part", fs::path(directory) / "origin");
    }

    client = TessaroClient::create({std::string(sandbox::Sandbox::demoClientID), *URL::parse(demoRedirect),
                                    *URL::parse(sandbox.origin()), TessaroError::defaultDownloadURL()},
                                   {.store = std::make_shared<TessaroMemoryStore>(),
                                    .transport = nullptr,
                                    .switcher = std::make_shared<TessaroSystemAppSwitcher>(),
                                    .authorizeTimeout = 30});
    std::string failure;
    try {
        const TessaroGrant grant = client->authorize();
        if (client->grant() != grant) failure = "the stored grant differs from the returned one";
    } catch (const std::exception& error) {
        failure = std::string("authorize() threw: ") + error.what();
    }
    // One approval, one callback: the desktop started the handler once.
    if (sandbox.log().count("authorize: approved") != 1 || sandbox.callbacks().all().size() != 1)
        failure += " (not exactly one approval and one callback)";
    if (!failure.empty()) {
        std::cerr << "desktop child: " << failure << "\n";
        for (const auto& line : sandbox.log().all())
            std::cerr << "sandbox: " << line << "\n";
    }
    client.reset();
    return failure.empty() ? 0 : 1;
}
// Before main: a child started by the test runs this mode and exits.
const int childHook = testing::runChildMode("desktop-authorize", childAuthorizeThroughDesktop);

TEST(SystemAppSwitcher, AuthorizesThroughTheDesktopsHandlerForTessaroURLs) {
    const testing::DesktopFolders desktop;
    const fs::path& dir = desktop.path();
    // The handler forwards the launch URL to the child's sandbox.
    std::ofstream(dir / "open.sh") << "exec '" << TESSARO_SANDBOX_EXE << "' open --origin \"$(/bin/cat '"
                                   << (dir / "origin").string() << "')\" \"$1\" >>'" << (dir / "open.log").string()
                                   << "' 2>&1\n";
    desktop.add({"tessaro", "/bin/sh " + (dir / "open.sh").string() + " %u"});

    std::vector<std::string> environment = desktop.environment();
    environment.insert(environment.end(), {std::string(directoryVariable) + "=" + dir.string(), "GIO_USE_VFS=local",
                                           "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/tessaro/e2e-bus"});
    const int status = runSelf("desktop-authorize", environment);
    EXPECT_EQ(status, 0) << "handler output:\n" << std::ifstream(dir / "open.log").rdbuf();
}

}  // namespace
}  // namespace tessaro::e2e
