#pragma once
/// @file
/// The kit's cryptography: base64url, randomness and digests, key pairs, signatures and PKCE,
/// HChaCha20 and sealed boxes. libsodium is initialised by the kit itself on first use.

#include <tessaro/crypto/base64url.hpp>
#include <tessaro/crypto/bytes.hpp>
#include <tessaro/crypto/crypto_error.hpp>
#include <tessaro/crypto/hchacha20.hpp>
#include <tessaro/crypto/keys.hpp>
#include <tessaro/crypto/primitives.hpp>
#include <tessaro/crypto/sealed_box.hpp>
