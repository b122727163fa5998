#pragma once
/// @file
/// Byte buffers shared by the whole kit: plain bytes, and a buffer for secrets that wipes itself.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tessaro/sdk_export.hpp>

namespace tessaro {

/// Plain bytes: public keys, ciphertexts, request bodies.
using Bytes = std::vector<std::uint8_t>;

/// Overwrites every byte with zero through a call the optimiser may not drop; the length stays.
/// Not synchronised: the caller must own the bytes.
TESSARO_EXPORT void zeroFill(std::span<std::uint8_t> bytes) noexcept;
/// zeroFill of the vector's bytes; its size and capacity stay.
TESSARO_EXPORT void zeroFill(Bytes& bytes) noexcept;
/// zeroFill of the string's characters; its size stays.
TESSARO_EXPORT void zeroFill(std::string& text) noexcept;

/// A byte buffer for private keys, derived keys and plaintexts. Its storage is wiped with
/// sodium_memzero when destroyed, reassigned, resized away or moved from, so a secret never
/// lingers in freed memory. Copying makes an independent buffer (wiped on its own).
/// Not thread-safe for concurrent mutation; const access from several threads is fine.
/// Never throws except std::bad_alloc; nothing blocks.
class TESSARO_EXPORT SecureBytes {
public:
    /// An empty buffer.
    SecureBytes() noexcept = default;
    /// `size` zero bytes.
    explicit SecureBytes(std::size_t size);
    /// A copy of `bytes` (the source is left as it is).
    SecureBytes(std::span<const std::uint8_t> bytes);
    /// The listed bytes.
    SecureBytes(std::initializer_list<std::uint8_t> bytes);
    /// Takes the bytes of `bytes` and wipes the source.
    static SecureBytes takeFrom(Bytes& bytes);

    /// An independent copy of `other`'s bytes.
    SecureBytes(const SecureBytes& other);
    /// Takes `other`'s storage; `other` is left empty.
    SecureBytes(SecureBytes&& other) noexcept;
    /// Wipes this buffer's bytes, then copies `other`'s.
    SecureBytes& operator=(const SecureBytes& other);
    /// Wipes this buffer's bytes, then takes `other`'s storage; `other` is left empty.
    SecureBytes& operator=(SecureBytes&& other) noexcept;
    /// Wipes the bytes.
    ~SecureBytes();

    /// The first byte; valid until the buffer is resized, reassigned or destroyed.
    std::uint8_t* data() noexcept { return data_.data(); }
    /// The first byte.
    const std::uint8_t* data() const noexcept { return data_.data(); }
    /// The number of bytes.
    std::size_t size() const noexcept { return data_.size(); }
    /// True when the buffer holds no bytes.
    bool empty() const noexcept { return data_.empty(); }
    /// Byte `i`, unchecked: `i` must be below size().
    std::uint8_t& operator[](std::size_t i) noexcept { return data_[i]; }
    /// Byte `i`, unchecked: `i` must be below size().
    std::uint8_t operator[](std::size_t i) const noexcept { return data_[i]; }
    /// Iterator to the first byte.
    std::uint8_t* begin() noexcept { return data_.data(); }
    /// Iterator past the last byte.
    std::uint8_t* end() noexcept { return data_.data() + data_.size(); }
    /// Iterator to the first byte.
    const std::uint8_t* begin() const noexcept { return data_.data(); }
    /// Iterator past the last byte.
    const std::uint8_t* end() const noexcept { return data_.data() + data_.size(); }

    /// The bytes as a writable span, valid while the buffer is unchanged.
    std::span<std::uint8_t> span() noexcept { return data_; }
    /// The bytes as a span, valid while the buffer is unchanged.
    std::span<const std::uint8_t> span() const noexcept { return data_; }
    /// The bytes as a span, so a SecureBytes passes wherever bytes are read.
    operator std::span<const std::uint8_t>() const noexcept { return data_; }
    /// The bytes as text (not necessarily UTF-8), valid while the buffer is unchanged.
    std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data_.data()), data_.size()}; }

    /// Wipes and empties the buffer.
    void clear() noexcept;
    /// Constant-time comparison of contents: equal sizes and bytes.
    friend TESSARO_EXPORT bool operator==(const SecureBytes& a, const SecureBytes& b) noexcept;

private:
    void wipe() noexcept;
    std::vector<std::uint8_t> data_;
};

}  // namespace tessaro
