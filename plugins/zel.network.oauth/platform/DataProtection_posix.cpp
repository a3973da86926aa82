// Data protection on POSIX systems: AES-256-GCM under a per-user random key, with the user id and
// machine id bound in as associated data, so that a blob opens only for this user on this machine
// (like CryptProtectData on Windows). The blob layout is in ProtectedBlob_posix.h.
//
// The key lives in the user's keyring when a Secret Service answers on the session bus, else in
// the key file (KeyStore_posix.h); ZEL_KEY_STORE=file chooses the file. A key found in the store
// not chosen moves into the chosen one, and is removed from the first only once the copy reads
// back the same. A store that may hold the key but cannot give it (locked, not answering,
// refused) fails the call: a second key is never made beside it.

#include "DataProtectionTesting.h"
#include "KeyStore_posix.h"
#include "ProtectedBlob_posix.h"

#include "Logging.h"
#include "SystemLookup.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace zel::platform {

using namespace blob;

namespace {

    struct Binding {
        std::optional<std::string> machineId;
        std::optional<unsigned> uid;
    };
    std::mutex bindingMutex;
    Binding bindingOverride;

    ProtectionResult failure(std::string reason)
    {
        ProtectionResult result;
        result.error = std::move(reason);
        return result;
    }

    // Associated data: the blob header (so that the format cannot be swapped), the machine id and
    // the user id, each length-prefixed so that no two bindings encode alike.
    Bytes associatedData(const unsigned char* header)
    {
        Binding binding;
        {
            std::lock_guard<std::mutex> lock(bindingMutex);
            binding = bindingOverride;
        }
        // A machine without a readable id is still bound to the user; the key file is per user.
        const std::string machineId = binding.machineId
            ? *binding.machineId
            : createSystemLookup()->machineId().value_or(std::string());
        const std::uint32_t uid = binding.uid ? *binding.uid : static_cast<std::uint32_t>(getuid());

        Bytes aad(header, header + headerSize);
        const auto appendU32 = [&aad](std::uint32_t value) {
            for (int shift = 24; shift >= 0; shift -= 8)
                aad.push_back(static_cast<unsigned char>(value >> shift));
        };
        appendU32(static_cast<std::uint32_t>(machineId.size()));
        aad.insert(aad.end(), machineId.begin(), machineId.end());
        appendU32(uid);
        return aad;
    }

    bool fileChosen()
    {
        const char* choice = std::getenv("ZEL_KEY_STORE");
        return choice && std::strcmp(choice, "file") == 0;
    }

    // Copies the key into the chosen store, reads it back, and only then removes it from the
    // other one. Whatever fails, the key stays where it was and keeps working; the log says why,
    // once per process.
    void moveKey(KeyStore& from, KeyStore& to, const Key& key)
    {
        std::string why;
        Key copy;
        KeyState state = to.add(key, why);
        if (state == KeyState::Found)
            state = to.read(copy, why);
        if (state == KeyState::Found && copy.bytes != key.bytes) {
            why = "the copy reads back differently";
            std::string ignored;
            to.remove(ignored);
        } else if (state == KeyState::Found && !from.remove(why)) {
            why = "the copy is made, but " + why;
        } else if (state == KeyState::Found) {
            qCDebug(lcPlatform, "Data protection: moved the key from the %s to the %s",
                from.name().c_str(), to.name().c_str());
            return;
        }
        static std::atomic<bool> told { false };
        if (!told.exchange(true))
            qCWarning(lcPlatform,
                "Data protection: the key stays in the %s; moving it to the %s "
                "failed: %s",
                from.name().c_str(), to.name().c_str(), why.c_str());
    }

    enum class KeyMode { OpenExisting, CreateIfMissing };

    // The key, from the chosen store or moved there from the other one; made anew only when
    // sealing and when neither store may hold one.
    bool obtainKey(KeyMode mode, Key& key, std::string& error)
    {
        std::unique_ptr<KeyStore> file = createFileKeyStore();
        std::unique_ptr<KeyStore> keyring = createSecretServiceKeyStore();
        KeyStore* chosen = keyring && !fileChosen() ? keyring.get() : file.get();
        KeyStore* other = chosen == file.get() ? keyring.get() : file.get();

        KeyState state = chosen->read(key, error);
        if (state == KeyState::Unavailable) { // no keyring here: the file alone, as ever
            chosen = file.get();
            other = nullptr;
            state = chosen->read(key, error);
        }
        // A corrupt key file is set aside when sealing; that call fails all the same.
        const auto fileFailed = [&](KeyStore* store) {
            if (store == file.get() && mode == KeyMode::CreateIfMissing)
                file->create(key, error);
            return false;
        };
        if (state == KeyState::Found)
            return true;
        if (state != KeyState::Missing)
            return fileFailed(chosen);

        if (other) {
            std::string otherError;
            switch (other->read(key, otherError)) {
            case KeyState::Found:
                moveKey(*other, *chosen, key);
                return true;
            case KeyState::Missing:
            case KeyState::Unavailable:
                break;
            case KeyState::Locked:
            case KeyState::Failed:
                error = otherError;
                return fileFailed(other);
            }
        }
        if (mode == KeyMode::OpenExisting)
            return false; // without the key no blob can be opened anyway
        state = chosen->create(key, error);
        if (state == KeyState::Unavailable) // a keyring without a collection to hold it
            state = file->create(key, error);
        return state == KeyState::Found;
    }

    // EVP update calls take int lengths; large inputs go through in slices.
    constexpr std::size_t sliceSize = std::size_t(1) << 30;

} // namespace

bool keyId(const Key& key, unsigned char* id)
{
    static constexpr char label[] = "zel data protection key id";
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1
        && EVP_DigestUpdate(ctx, label, sizeof(label) - 1) == 1
        && EVP_DigestUpdate(ctx, key.bytes.data(), key.bytes.size()) == 1
        && EVP_DigestFinal_ex(ctx, digest, &digestLength) == 1 && digestLength >= keyIdSize;
    EVP_MD_CTX_free(ctx);
    if (ok)
        std::memcpy(id, digest, keyIdSize);
    return ok;
}

BlobLayout parseProtectedBlob(const Bytes& blob)
{
    BlobLayout layout;
    const std::size_t magicSeen = std::min(blob.size(), sizeof(magic));
    if (blob.empty() || !std::equal(magic, magic + magicSeen, blob.begin()))
        layout.error = "blob has an unknown format";
    else if (blob.size() > sizeof(magic) && blob[sizeof(magic)] != formatVersion)
        layout.error = "blob has an unsupported format version";
    else if (blob.size() < minimumSize)
        layout.error = "blob is truncated";
    if (!layout.error.empty())
        return layout;
    layout.ok = true;
    layout.keyId = blob.data() + sizeof(magic) + 1;
    layout.nonce = blob.data() + headerSize;
    layout.ciphertext = layout.nonce + nonceSize;
    layout.ciphertextSize = blob.size() - minimumSize;
    layout.tag = layout.ciphertext + layout.ciphertextSize;
    return layout;
}

ProtectionResult protectBytes(const Bytes& plain)
{
    Key key;
    std::string error;
    if (!obtainKey(KeyMode::CreateIfMissing, key, error))
        return failure(error);

    Bytes blob(minimumSize + plain.size());
    unsigned char* header = blob.data();
    unsigned char* nonce = header + headerSize;
    unsigned char* ciphertext = nonce + nonceSize;
    unsigned char* tag = ciphertext + plain.size();
    std::memcpy(header, magic, sizeof(magic));
    header[sizeof(magic)] = formatVersion;
    if (!keyId(key, header + sizeof(magic) + 1))
        return failure("cannot derive the key id");
    if (RAND_bytes(nonce, static_cast<int>(nonceSize)) != 1)
        return failure("cannot get random bytes for the nonce");
    const Bytes aad = associatedData(header);

    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, int(nonceSize), nullptr) == 1
        && EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.bytes.data(), nonce) == 1
        && EVP_EncryptUpdate(ctx, nullptr, &length, aad.data(), int(aad.size())) == 1;
    for (std::size_t done = 0; ok && done < plain.size();) {
        const std::size_t slice = std::min(sliceSize, plain.size() - done);
        ok = EVP_EncryptUpdate(ctx, ciphertext + done, &length, plain.data() + done, int(slice))
            == 1;
        done += slice;
    }
    ok = ok && EVP_EncryptFinal_ex(ctx, tag, &length) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, int(tagSize), tag) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        return failure("encryption failed");

    ProtectionResult result;
    result.data = std::move(blob);
    result.ok = true;
    return result;
}

ProtectionResult unprotectBytes(const Bytes& blob)
{
    if (blob.empty()) {
        ProtectionResult result;
        result.ok = true;
        return result;
    }
    const BlobLayout layout = parseProtectedBlob(blob);
    if (!layout.ok)
        return failure(layout.error);

    // Opening never creates a key: without the key no blob can be opened anyway.
    Key key;
    std::string error;
    if (!obtainKey(KeyMode::OpenExisting, key, error))
        return failure(error);

    const unsigned char* header = blob.data();
    const unsigned char* nonce = layout.nonce;
    const unsigned char* ciphertext = layout.ciphertext;
    const std::size_t ciphertextSize = layout.ciphertextSize;
    const unsigned char* tag = layout.tag;

    unsigned char id[keyIdSize];
    if (!keyId(key, id))
        return failure("cannot derive the key id");
    if (CRYPTO_memcmp(id, layout.keyId, keyIdSize) != 0)
        return failure("blob was made with another key");
    const Bytes aad = associatedData(header);

    Bytes plain(ciphertextSize);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0;
    bool ok = ctx && EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, int(nonceSize), nullptr) == 1
        && EVP_DecryptInit_ex(ctx, nullptr, nullptr, key.bytes.data(), nonce) == 1
        && EVP_DecryptUpdate(ctx, nullptr, &length, aad.data(), int(aad.size())) == 1;
    for (std::size_t done = 0; ok && done < ciphertextSize;) {
        const std::size_t slice = std::min(sliceSize, ciphertextSize - done);
        ok = EVP_DecryptUpdate(ctx, plain.data() + done, &length, ciphertext + done, int(slice))
            == 1;
        done += slice;
    }
    const bool setup = ok;
    ok = ok
        && EVP_CIPHER_CTX_ctrl(
               ctx, EVP_CTRL_GCM_SET_TAG, int(tagSize), const_cast<unsigned char*>(tag))
            == 1
        && EVP_DecryptFinal_ex(ctx, plain.data() + ciphertextSize, &length) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
        // Decryption wrote unauthenticated plain text before the tag check failed.
        wipe(plain);
        return failure(setup ? "blob does not authenticate: tampered with, or made for another "
                               "user or machine"
                             : "decryption failed");
    }

    ProtectionResult result;
    result.data = std::move(plain);
    result.ok = true;
    return result;
}

// The store that holds the key, asked in the order of obtainKey; a key still in the store not
// chosen is named as it is found there, before the next use moves it.
std::string keyStoreDescription()
{
    std::unique_ptr<KeyStore> file = createFileKeyStore();
    std::unique_ptr<KeyStore> keyring = createSecretServiceKeyStore();
    KeyStore* order[] = { keyring.get(), file.get() };
    if (!keyring || fileChosen())
        std::swap(order[0], order[1]);
    for (KeyStore* store : order) {
        Key key;
        std::string error;
        switch (store ? store->read(key, error) : KeyState::Unavailable) {
        case KeyState::Found:
            return store->name();
        case KeyState::Locked:
            return store->name() + " (locked)";
        case KeyState::Failed:
            return store->name() + " (" + error + ")";
        case KeyState::Missing:
        case KeyState::Unavailable:
            break;
        }
    }
    return "none yet";
}

void setBindingForTesting(std::optional<std::string> machineId, std::optional<unsigned> uid)
{
    std::lock_guard<std::mutex> lock(bindingMutex);
    bindingOverride.machineId = std::move(machineId);
    bindingOverride.uid = uid;
}

} // namespace zel::platform
