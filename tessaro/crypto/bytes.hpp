#pragma once
// Byte buffers shared by the whole kit: plain bytes, and a buffer for secrets that wipes itself.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tessaro/sdk_export.hpp>

namespace tessaro {

// Plain bytes: public keys, ciphertexts, request bodies.
using Bytes = std::vector<std::uint8_t>;

// Overwrites every byte with zero through a call the optimiser may not drop; the length stays.
TESSARO_EXPORT void zeroFill(std::span<std::uint8_t> bytes) noexcept;
TESSARO_EXPORT void zeroFill(Bytes& bytes) noexcept;
TESSARO_EXPORT void zeroFill(std::string& text) noexcept;

// A byte buffer for private keys, derived keys and plaintexts. Its storage is wiped with
// sodium_memzero when destroyed, reassigned, resized away or moved from, so a secret never
// lingers in freed memory. Copying makes an independent buffer (wiped on its own).
// Not thread-safe for concurrent mutation; const access from several threads is fine.
// Never throws except std::bad_alloc.
class TESSARO_EXPORT SecureBytes {
public:
    SecureBytes() noexcept = default;
    explicit SecureBytes(std::size_t size);
    SecureBytes(std::span<const std::uint8_t> bytes);
    SecureBytes(std::initializer_list<std::uint8_t> bytes);
    // Takes the bytes of `bytes` and wipes the source.
    static SecureBytes takeFrom(Bytes& bytes);

    SecureBytes(const SecureBytes& other);
    SecureBytes(SecureBytes&& other) noexcept;
    SecureBytes& operator=(const SecureBytes& other);
    SecureBytes& operator=(SecureBytes&& other) noexcept;
    ~SecureBytes();

    std::uint8_t* data() noexcept { return data_.data(); }
    const std::uint8_t* data() const noexcept { return data_.data(); }
    std::size_t size() const noexcept { return data_.size(); }
    bool empty() const noexcept { return data_.empty(); }
    std::uint8_t& operator[](std::size_t i) noexcept { return data_[i]; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data_[i]; }
    std::uint8_t* begin() noexcept { return data_.data(); }
    std::uint8_t* end() noexcept { return data_.data() + data_.size(); }
    const std::uint8_t* begin() const noexcept { return data_.data(); }
    const std::uint8_t* end() const noexcept { return data_.data() + data_.size(); }

    std::span<std::uint8_t> span() noexcept { return data_; }
    std::span<const std::uint8_t> span() const noexcept { return data_; }
    operator std::span<const std::uint8_t>() const noexcept { return data_; }
    std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data_.data()), data_.size()}; }

    // Wipes and empties the buffer.
    void clear() noexcept;
    // Constant-time comparison of contents.
    friend TESSARO_EXPORT bool operator==(const SecureBytes& a, const SecureBytes& b) noexcept;

private:
    void wipe() noexcept;
    std::vector<std::uint8_t> data_;
};

}  // namespace tessaro
