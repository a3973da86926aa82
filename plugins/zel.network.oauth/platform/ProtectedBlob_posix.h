#pragma once

// The layout of a blob sealed by the POSIX data protection, shared by the sealing and its tests:
//   "ZP" | version 1 | key id (8) | nonce (12) | ciphertext | GCM tag (16)
// The header and key id are authenticated too (they are part of the associated data).

#include "DataProtection.h"
#include "KeyStore_posix.h"

#include <cstddef>
#include <string>

namespace zel::platform {

namespace blob {
    constexpr unsigned char magic[2] = { 'Z', 'P' };
    constexpr unsigned char formatVersion = 1;
    constexpr std::size_t nonceSize = 12; // NIST SP 800-38D, 8.2: 96-bit IVs for random nonces
    constexpr std::size_t tagSize = 16;
    constexpr std::size_t headerSize = sizeof(magic) + 1 + keyIdSize;
    constexpr std::size_t minimumSize = headerSize + nonceSize + tagSize;
} // namespace blob

// The fields of a blob, pointing into it, or why it cannot be one. Only the layout is checked:
// authenticity is decided by opening it.
struct BlobLayout {
    bool ok = false;
    std::string error;
    const unsigned char* keyId = nullptr; // keyIdSize bytes
    const unsigned char* nonce = nullptr; // blob::nonceSize bytes
    const unsigned char* ciphertext = nullptr;
    std::size_t ciphertextSize = 0;
    const unsigned char* tag = nullptr; // blob::tagSize bytes
};
BlobLayout parseProtectedBlob(const Bytes& blob);

} // namespace zel::platform
