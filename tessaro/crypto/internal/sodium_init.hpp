#pragma once

namespace tessaro::detail {
// Initialises libsodium once per process (thread-safe); throws PlatformError if it cannot.
void ensureSodium();
}  // namespace tessaro::detail
