#pragma once
// Throwaway XDG folders whose only applications are the given desktop entries, each the default
// handler of its URL scheme: GIO in a process using them sees nothing of the user's desktop.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/temporary_directory.hpp"

namespace tessaro::testing {

class DesktopFolders : public TemporaryDirectory {
public:
    // The entry "<scheme>.desktop": its Exec line ("%u" included) and any further "Key=value\n" lines.
    struct Handler {
        std::string scheme, exec, extra;
    };

    explicit DesktopFolders(const std::vector<Handler>& handlers = {}) : TemporaryDirectory("tessaro-desktop-") {
        for (const char* sub : {"data/applications", "config", "empty"})
            std::filesystem::create_directories(path() / sub);
        std::ofstream(path() / "config/mimeapps.list") << "[Default Applications]\n";
        for (const Handler& h : handlers)
            add(h);
    }

    // Adds an entry and makes it the default handler of its scheme.
    void add(const Handler& h) const {
        std::ofstream(path() / "data/applications" / (h.scheme + ".desktop"))
            << "[Desktop Entry]\nType=Application\nName=" << h.scheme << "\nExec=" << h.exec
            << "\nMimeType=x-scheme-handler/" << h.scheme << ";\n"
            << h.extra;
        std::ofstream(path() / "config/mimeapps.list", std::ios::app)
            << "x-scheme-handler/" << h.scheme << "=" << h.scheme << ".desktop\n";
    }

    // "XDG_DATA_HOME=..." and its three siblings, for a child process's environment.
    std::vector<std::string> environment() const {
        return {"XDG_DATA_HOME=" + (path() / "data").string(), "XDG_CONFIG_HOME=" + (path() / "config").string(),
                "XDG_DATA_DIRS=" + (path() / "empty").string(), "XDG_CONFIG_DIRS=" + (path() / "empty").string()};
    }

    // The same in this process's environment; before GIO first reads it.
    void apply() const {
        for (const std::string& entry : environment()) {
            const auto equals = entry.find('=');
            ::setenv(entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, 1);
        }
    }
};

}  // namespace tessaro::testing
