#pragma once

// Where the POSIX data protection keeps its 32-byte key: the user's keyring (a Secret Service on
// the session bus, KeyStore_secretservice.cpp) or a file only the user can read
// (KeyStore_file.cpp). DataProtection_posix.cpp decides which one holds it and moves it between
// them; neither store knows of the other.

#include "SecureMemory.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace zel::platform {

constexpr std::size_t keySize = 32;

// The key lives on the stack only while it is in use and is wiped when it goes.
struct Key {
    std::array<unsigned char, keySize> bytes {};
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() { wipe(bytes.data(), bytes.size()); }
};

// A short fingerprint of the key, stored in every blob and named by the keyring item, so that a
// blob of a replaced key is told apart from a tampered one. It reveals nothing usable about a
// 256-bit random key. False when the digest cannot be computed.
constexpr std::size_t keyIdSize = 8;
bool keyId(const Key& key, unsigned char* id);

enum class KeyState {
    Found,
    Missing, // the store answers and holds no key
    Locked, // the store may hold the key but is locked: nothing may replace it meanwhile
    Unavailable, // no such store here (no Secret Service on the session bus)
    Failed, // anything else; the error says what
};

class KeyStore {
public:
    virtual ~KeyStore() = default;
    // For status lines and messages: "keyring" or "file <path>". Names no part of the key.
    virtual std::string name() const = 0;
    // Reads the key, creating and changing nothing.
    virtual KeyState read(Key& key, std::string& error) = 0;
    // Makes a new key unless the store holds one, and gives the one it keeps: processes that
    // race all end up with the same key.
    virtual KeyState create(Key& key, std::string& error) = 0;
    // Stores a key brought from the other store. Never replaces a different key.
    virtual KeyState add(const Key& key, std::string& error) = 0;
    // Removes the key for good (the file is overwritten before it is unlinked).
    virtual bool remove(std::string& error) = 0;
};

std::unique_ptr<KeyStore> createFileKeyStore();
// Null when the plug-in is built without the Secret Service.
std::unique_ptr<KeyStore> createSecretServiceKeyStore();

// Serialises the creation of a key among the processes of this user (the keyring has no
// create-if-absent of its own); waits until the deadline at most.
class KeyCreationLock {
public:
    KeyCreationLock() = default;
    KeyCreationLock(const KeyCreationLock&) = delete;
    KeyCreationLock& operator=(const KeyCreationLock&) = delete;
    ~KeyCreationLock();
    bool acquire(std::chrono::steady_clock::time_point deadline, std::string& error);

private:
    int fd = -1;
};

} // namespace zel::platform
