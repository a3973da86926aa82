#pragma once

// Digests and HMACs from the platform's own cryptography (OpenSSL on POSIX, CNG on Windows), so
// that shared code carries no hash code of its own and Windows builds need no OpenSSL.

#include <string>
#include <string_view>

namespace zel::platform {

enum class DigestAlgorithm { Sha1, Sha256 };

// The digest of the bytes (20 bytes for SHA-1, 32 for SHA-256); empty if the platform cannot
// compute it.
std::string digest(DigestAlgorithm algorithm, std::string_view bytes);

// RFC 2104 HMAC of the bytes keyed with key, which may be empty; empty if the platform cannot
// compute it.
std::string hmac(DigestAlgorithm algorithm, std::string_view key, std::string_view bytes);

} // namespace zel::platform
