#pragma once
/// @file
/// Unpadded base64url (RFC 4648 section 5), the text form of every key, nonce and ciphertext.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <tessaro/crypto/bytes.hpp>
#include <tessaro/sdk_export.hpp>

/// Unpadded base64url text of bytes. Stateless functions, safe from any thread; nothing blocks.
namespace tessaro::Base64URL {

/// Base64url alphabet, no "=" padding, no line breaks: ceil(4n/3) characters. Throws only
/// std::bad_alloc.
TESSARO_EXPORT std::string encode(std::span<const std::uint8_t> bytes);

/// Maps "-" to "+" and "_" to "/", pads a length of 2 or 3 modulo 4 with "=", then decodes
/// strictly as standard base64. No value for a length of 1 modulo 4, any character outside
/// both alphabets (whitespace included), misplaced padding or non-zero trailing bits.
/// Standard base64 input ("+", "/", "=" padding) decodes too; the empty text gives empty bytes.
/// Throws only std::bad_alloc.
TESSARO_EXPORT std::optional<Bytes> decode(std::string_view text);

}  // namespace tessaro::Base64URL
