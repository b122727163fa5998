// Callback delivery to the host: loopback HTTP or the desktop's URL handler.

#include <gio/gio.h>
#include <httplib.h>

#include <tessaro/sandbox/internal/application.hpp>
#include <tessaro/sandbox/internal/wire.hpp>

namespace tessaro::sandbox::detail {

namespace {

constexpr const char* printHint =
    " (run the sandbox with --deliver print to have callback URLs written to standard output)";

// `text` with the callback's query (which carries the code or state) and each of its values cut out,
// for messages of other libraries that may quote the URL.
std::string withoutQuery(std::string text, const URIParts& parts) {
    std::vector<std::string> secrets = {parts.query};
    if (const auto items = parseQuery(parts.query)) {
        for (const auto& [name, value] : *items)
            secrets.push_back(value);
    }
    for (const std::string& secret : secrets) {
        if (secret.empty()) continue;
        for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
            text.replace(at, secret.size(), "...");
        }
    }
    return loggable(text, 200);
}

}  // namespace

void deliverToHost(const std::string& callbackURL, const Application::Log& log) {
    auto report = [&](const std::string& line) {
        if (log) log(line);
    };
    const auto parts = parseURI(callbackURL);
    if (!parts) return report(std::string("callback not delivered: unparsable redirect URI") + printHint);

    if (parts->scheme == "http" || parts->scheme == "https") {
        // Codes go only to a listener on this machine (RFC 8252 loopback redirect).
        if (parts->scheme != "http" || !isLoopbackIP(parts->host)) {
            return report("callback not delivered: " + parts->scheme + "://" + loggable(parts->host) +
                          " is not a loopback host" + printHint);
        }
        std::string host = parts->host;
        if (host.starts_with('[')) host = host.substr(1, host.size() - 2);
        httplib::Client client(host, parts->port.value_or(80));
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(5, 0);
        client.set_write_timeout(5, 0);
        const std::string target = (parts->path.empty() ? "/" : parts->path) + "?" + parts->query;
        const auto result = client.Get(target);
        if (!result) {
            return report("callback not delivered to " + parts->host + ":" + std::to_string(parts->port.value_or(80)) +
                          ": " + httplib::to_string(result.error()) + printHint);
        }
        if (result->status >= 400) {
            report("callback to " + parts->host + " answered HTTP " + std::to_string(result->status));
        }
        return;
    }

    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(callbackURL.c_str(), nullptr, &error)) {
        report("callback not delivered: no application opens " + loggable(parts->scheme) + ": URLs (" +
               withoutQuery(error ? error->message : "unknown error", *parts) + ")" + printHint);
        if (error) g_error_free(error);
    }
}

}  // namespace tessaro::sandbox::detail
