#include <tessaro/crypto/bytes.hpp>

#include <sodium.h>

namespace tessaro {

void zeroFill(std::span<std::uint8_t> bytes) noexcept {
    if (!bytes.empty()) sodium_memzero(bytes.data(), bytes.size());
}

void zeroFill(Bytes& bytes) noexcept { zeroFill(std::span<std::uint8_t>(bytes)); }

void zeroFill(std::string& text) noexcept {
    if (!text.empty()) sodium_memzero(text.data(), text.size());
}

SecureBytes::SecureBytes(std::size_t size) : data_(size, 0) {}

SecureBytes::SecureBytes(std::span<const std::uint8_t> bytes) : data_(bytes.begin(), bytes.end()) {}

SecureBytes::SecureBytes(std::initializer_list<std::uint8_t> bytes) : data_(bytes) {}

SecureBytes SecureBytes::takeFrom(Bytes& bytes) {
    SecureBytes out{std::span<const std::uint8_t>(bytes)};
    zeroFill(bytes);
    bytes.clear();
    return out;
}

SecureBytes::SecureBytes(const SecureBytes& other) : data_(other.data_) {}

// Moving hands the storage over; the source keeps no copy of the bytes.
SecureBytes::SecureBytes(SecureBytes&& other) noexcept : data_(std::move(other.data_)) { other.data_.clear(); }

SecureBytes& SecureBytes::operator=(const SecureBytes& other) {
    if (this != &other) {
        wipe();
        data_ = other.data_;
    }
    return *this;
}

SecureBytes& SecureBytes::operator=(SecureBytes&& other) noexcept {
    if (this != &other) {
        wipe();
        data_ = std::move(other.data_);
        other.data_.clear();
    }
    return *this;
}

SecureBytes::~SecureBytes() { wipe(); }

void SecureBytes::clear() noexcept {
    wipe();
    data_.clear();
}

void SecureBytes::wipe() noexcept { zeroFill(std::span<std::uint8_t>(data_)); }

bool operator==(const SecureBytes& a, const SecureBytes& b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace tessaro
