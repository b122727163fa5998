#pragma once
// The kit's cryptography: base64url, randomness and digests, key pairs, signatures and PKCE,
// HChaCha20 and sealed boxes. libsodium is initialised by the kit itself on first use.

#include "crypto/base64url.hpp"
#include "crypto/bytes.hpp"
#include "crypto/crypto_error.hpp"
#include "crypto/hchacha20.hpp"
#include "crypto/keys.hpp"
#include "crypto/primitives.hpp"
#include "crypto/sealed_box.hpp"
