#include <tessaro/records/exception.hpp>

namespace tessaro {

// The out-of-line destructor anchors the class's type information in the kit, so a host's
// catch (const tessaro::Exception&) matches across the shared library's boundary.
Exception::~Exception() = default;

InvalidArgument::InvalidArgument(const std::string& what) : std::invalid_argument(what) {}
const char* InvalidArgument::family() const noexcept { return "InvalidArgument"; }
const char* InvalidArgument::caseName() const noexcept { return "invalidArgument"; }
const char* InvalidArgument::message() const noexcept { return what(); }

DecodingError::DecodingError(const std::string& what) : std::runtime_error(what) {}
const char* DecodingError::family() const noexcept { return "DecodingError"; }
const char* DecodingError::caseName() const noexcept { return "decoding"; }
const char* DecodingError::message() const noexcept { return what(); }

SystemError::SystemError(int error, const std::string& what)
    : std::system_error(error, std::generic_category(), what) {}
const char* SystemError::family() const noexcept { return "SystemError"; }
const char* SystemError::caseName() const noexcept { return "system"; }
const char* SystemError::message() const noexcept { return what(); }

}  // namespace tessaro
