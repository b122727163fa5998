#pragma once
// A private directory under the system's temporary directory, removed with everything in it when
// the object goes (also when an assertion ends the test early).

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tessaro::testing {

class TemporaryDirectory {
public:
    // "<tmp>/<prefix>XXXXXX", mode 0700; throws std::runtime_error when it cannot be made.
    explicit TemporaryDirectory(const std::string& prefix = "tessaro-test-") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace tessaro::testing
