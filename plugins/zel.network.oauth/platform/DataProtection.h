#pragma once

// Protection of stored secrets, bound to the current user (and, where the platform can, the
// machine). The interface is Qt-free, so that the Windows implementation builds and is checked
// without Qt (tests/windows); the POSIX one logs through Qt's categories.

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

// Where the key that protects the values lives, for a status line; reveals nothing of it.
// POSIX: "keyring", "keyring (locked)", "file <path>" or "none yet".
std::string keyStoreDescription();

} // namespace zel::platform
