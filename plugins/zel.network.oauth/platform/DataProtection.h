#pragma once

// Protection of stored secrets, bound to the current user (and, where the platform can, the
// machine). Qt-free so that every platform implementation compiles on its own.

#include <optional>
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

// Overwrites a buffer with zeros in a way the compiler cannot drop.
void wipe(Bytes& bytes);

// Test-only, defined by the POSIX implementation: binds blobs to this machine id and user id
// instead of the real ones, so that a test can play another machine or user. nullopt restores
// the real value.
void setBindingForTesting(std::optional<std::string> machineId, std::optional<unsigned> uid);

} // namespace zel::platform
