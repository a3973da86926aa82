#pragma once

// Protection of stored secrets, bound to the current user (and, where the platform can, the
// machine). Qt-free so that every platform implementation compiles on its own.

#include "SecureMemory.h"

#include <string>
#include <vector>

namespace zel::platform {

using Bytes = std::vector<unsigned char>;

struct ProtectionResult {
    Bytes data; // empty on failure
    bool ok = false;
    std::string error; // why it failed; never contains any of the data
};

// Seals plain bytes into an opaque blob that only this user on this machine can open.
ProtectionResult protectBytes(const Bytes& plain);

// Opens a blob made by protectBytes. An empty input gives an empty, successful result.
ProtectionResult unprotectBytes(const Bytes& blob);

// The fields of a blob as the POSIX implementation lays it out, pointing into the blob, or why
// it cannot be one. Only the layout is checked: authenticity is decided by opening it.
struct BlobLayout {
    bool ok = false;
    std::string error;
    const unsigned char* keyId = nullptr; // 8 bytes
    const unsigned char* nonce = nullptr; // 12 bytes
    const unsigned char* ciphertext = nullptr;
    std::size_t ciphertextSize = 0;
    const unsigned char* tag = nullptr; // 16 bytes
};
BlobLayout parseProtectedBlob(const Bytes& blob);

} // namespace zel::platform
