#pragma once

// Digests from the platform's own cryptography (OpenSSL on POSIX, CNG on Windows), so that the
// shared identity rules carry no hash code of their own.

#include <string>
#include <string_view>

namespace zel::platform {

// The 20 bytes of the SHA-1 digest of the bytes; empty if the platform cannot compute it.
std::string sha1Digest(std::string_view bytes);

} // namespace zel::platform
