// Data protection on POSIX systems: AES-256-GCM with a per-user random key kept in a file only
// the user can read, and the user id and machine id bound in as associated data, so that a blob
// opens only for this user on this machine (like CryptProtectData on Windows).
//
// Blob layout (all fields fixed size except the ciphertext):
//   "ZP" | version 1 | key id (8) | nonce (12) | ciphertext | GCM tag (16)
// The header and key id are authenticated too (they are part of the associated data).

#include "DataProtection.h"
#include "DataProtectionTesting.h"

#include "Logging.h"
#include "SystemLookup.h"

#include <QDir>
#include <QStandardPaths>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zel::platform {

namespace {

    constexpr unsigned char magic[2] = { 'Z', 'P' };
    constexpr unsigned char formatVersion = 1;
    constexpr std::size_t keySize = 32;
    constexpr std::size_t keyIdSize = 8;
    constexpr std::size_t nonceSize = 12; // NIST SP 800-38D, 8.2: 96-bit IVs for random nonces
    constexpr std::size_t tagSize = 16;
    constexpr std::size_t headerSize = sizeof(magic) + 1 + keyIdSize;
    constexpr std::size_t minimumBlobSize = headerSize + nonceSize + tagSize;
    constexpr char keyFileName[] = "data-protection.key";

    struct Binding {
        std::optional<std::string> machineId;
        std::optional<unsigned> uid;
    };
    std::mutex bindingMutex;
    Binding bindingOverride;

    // The key lives on the stack only while it is in use and is wiped when it goes.
    struct Key {
        std::array<unsigned char, keySize> bytes {};
        Key() = default;
        Key(const Key&) = delete;
        Key& operator=(const Key&) = delete;
        ~Key() { wipe(bytes.data(), bytes.size()); }
    };

    class FileDescriptor {
    public:
        explicit FileDescriptor(int fd = -1)
            : fd(fd)
        {
        }
        FileDescriptor(const FileDescriptor&) = delete;
        FileDescriptor& operator=(const FileDescriptor&) = delete;
        ~FileDescriptor()
        {
            if (fd >= 0)
                ::close(fd);
        }
        int get() const { return fd; }
        bool valid() const { return fd >= 0; }
        int release() { return std::exchange(fd, -1); }
        void reset(int newFd)
        {
            if (fd >= 0)
                ::close(fd);
            fd = newFd;
        }
        // Closes now and reports a failure of close itself, which can mean lost writes.
        bool close()
        {
            const int rc = ::close(fd);
            fd = -1;
            return rc == 0;
        }

    private:
        int fd;
    };

    ProtectionResult failure(std::string reason)
    {
        ProtectionResult result;
        result.error = std::move(reason);
        return result;
    }

    std::string systemError(const std::string& what, int error)
    {
        return what + ": " + std::strerror(error);
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

    // A short fingerprint of the key, stored in the blob so that a blob of a replaced key is told
    // apart from a tampered one. It reveals nothing usable about a 256-bit random key.
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

    // The key and its directory must belong to this user alone; anything else could have been
    // read or replaced by someone else. Such a file is left as it is: only its owner knows
    // whether it can still be trusted, and the message says how to make it private again.
    std::string checkPrivate(
        const struct stat& st, const char* what, const std::string& path, const char* privateMode)
    {
        const std::string repair = std::string("; it is left untouched. If it is yours, repair it"
                                               " with: ");
        if (st.st_uid != geteuid())
            return std::string(what) + " " + path + " is not owned by the current user (uid "
                + std::to_string(st.st_uid) + ", not " + std::to_string(geteuid()) + ")" + repair
                + "chown " + std::to_string(geteuid()) + " '" + path + "' && chmod " + privateMode
                + " '" + path + "'";
        if (st.st_mode & (S_IRWXG | S_IRWXO)) {
            char mode[8];
            std::snprintf(mode, sizeof(mode), "%04o", unsigned(st.st_mode & 07777));
            return std::string(what) + " " + path + " is accessible by group or others (mode "
                + mode + ")" + repair + "chmod " + privateMode + " '" + path + "'";
        }
        return {};
    }

    std::string randomHex(std::size_t bytes)
    {
        static constexpr char hexDigits[] = "0123456789abcdef";
        std::vector<unsigned char> random(bytes);
        if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1)
            return {};
        std::string text;
        for (const unsigned char byte : random) {
            text.push_back(hexDigits[byte >> 4]);
            text.push_back(hexDigits[byte & 0x0f]);
        }
        return text;
    }

    enum class KeyMode { OpenExisting, CreateIfMissing };

    bool openKeyDirectory(
        KeyMode mode, FileDescriptor& directory, std::string& directoryPath, std::string& error)
    {
        const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (base.isEmpty()) {
            error = "no data location for the key";
            return false;
        }
        const QByteArray path = QFile::encodeName(base + QStringLiteral("/zel"));
        directoryPath = path.toStdString();
        if (mode == KeyMode::CreateIfMissing) {
            if (!QDir().mkpath(base)) {
                error = "cannot create the data location for the key";
                return false;
            }
            if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
                error = systemError("cannot create the key directory", errno);
                return false;
            }
        }
        FileDescriptor fd(
            ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) {
            const int openError = errno;
            if (openError == ENOENT)
                error = "no key file";
            else if (openError == ENOTDIR || openError == ELOOP)
                error = "key directory is not a directory";
            else
                error = systemError("cannot open the key directory", openError);
            return false;
        }
        struct stat st { };
        if (::fstat(fd.get(), &st) != 0) {
            error = systemError("cannot inspect the key directory", errno);
            return false;
        }
        error = checkPrivate(st, "key directory", directoryPath, "700");
        if (!error.empty())
            return false;
        directory.reset(fd.release());
        return true;
    }

    enum class KeyState { Read, Missing, Corrupt, Refused };

    // Corrupt: a private regular file of the wrong size, which no repair can turn into the key.
    KeyState readKey(
        int directory, const std::string& path, Key& key, struct stat& st, std::string& error)
    {
        FileDescriptor fd(::openat(directory, keyFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) {
            const int openError = errno;
            if (openError == ENOENT) {
                error = "no key file";
                return KeyState::Missing;
            }
            error = openError == ELOOP
                ? "key file " + path + " is a symbolic link; it is left untouched"
                : systemError("cannot open the key file " + path, openError);
            return KeyState::Refused;
        }
        if (::fstat(fd.get(), &st) != 0) {
            error = systemError("cannot inspect the key file " + path, errno);
            return KeyState::Refused;
        }
        if (!S_ISREG(st.st_mode)) {
            error = "key file " + path + " is not a regular file; it is left untouched";
            return KeyState::Refused;
        }
        error = checkPrivate(st, "key file", path, "600");
        if (!error.empty())
            return KeyState::Refused;
        const std::string wrongSize = "key file " + path + " is corrupt: "
            + std::to_string(st.st_size) + " bytes instead of " + std::to_string(keySize);
        if (st.st_size != static_cast<off_t>(keySize)) {
            error = wrongSize;
            return KeyState::Corrupt;
        }
        std::size_t done = 0;
        while (done < keySize) {
            const ssize_t n = ::read(fd.get(), key.bytes.data() + done, keySize - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = systemError("cannot read the key file " + path, errno);
                return KeyState::Refused;
            }
            if (n == 0) { // shrunk since fstat
                error = wrongSize;
                return KeyState::Corrupt;
            }
            done += static_cast<std::size_t>(n);
        }
        return KeyState::Read;
    }

    // Moves a corrupt key file out of the way under a new name, so that a fresh key can take
    // its place while the old one stays for whoever wants to look at it. Only the file that was
    // found corrupt is moved: should another process have replaced it meanwhile, that file is
    // put back.
    bool setAsideKey(int directory, const std::string& directoryPath, const struct stat& corrupt,
        std::string& error)
    {
        const std::string suffix = randomHex(8);
        if (suffix.empty()) {
            error += "; cannot get random bytes to set it aside";
            return false;
        }
        const std::string asideName = std::string(keyFileName) + ".corrupt-" + suffix;
        if (::renameat(directory, keyFileName, directory, asideName.c_str()) != 0) {
            error = systemError(error + "; cannot set it aside", errno);
            return false;
        }
        struct stat moved { };
        if (::fstatat(directory, asideName.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0
            || moved.st_dev != corrupt.st_dev || moved.st_ino != corrupt.st_ino) {
            if (::linkat(directory, asideName.c_str(), directory, keyFileName, 0) == 0)
                ::unlinkat(directory, asideName.c_str(), 0);
            error += "; it changed while being set aside, try again";
            return false;
        }
        ::fsync(directory);
        error += "; set aside as " + directoryPath + "/" + asideName
            + ". Values protected with it cannot be opened any more; the next value stored gets "
              "a new key";
        qCWarning(lcPlatform, "Data protection: %s", error.c_str());
        return true;
    }

    bool writeAll(int fd, const unsigned char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    // Writes a fresh key under a temporary name and links it into place. link(2) never replaces an
    // existing file, so when several processes race, exactly one key wins and every process then
    // reads that one. The key file appears complete or not at all.
    bool createKey(int directory, std::string& error)
    {
        Key fresh;
        const std::string suffix = randomHex(8);
        if (RAND_bytes(fresh.bytes.data(), static_cast<int>(fresh.bytes.size())) != 1
            || suffix.empty()) {
            error = "cannot get random bytes for the key";
            return false;
        }
        const std::string temporaryName = std::string(".") + keyFileName + "." + suffix;

        FileDescriptor fd(::openat(directory, temporaryName.c_str(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid()) {
            error = systemError("cannot create the key file", errno);
            return false;
        }
        bool written = writeAll(fd.get(), fresh.bytes.data(), fresh.bytes.size());
        int writeError = errno;
        if (written && ::fsync(fd.get()) != 0) {
            written = false;
            writeError = errno;
        }
        if (!fd.close() && written) {
            written = false;
            writeError = errno;
        }
        if (!written) {
            ::unlinkat(directory, temporaryName.c_str(), 0);
            error = systemError("cannot write the key file", writeError);
            return false;
        }

        const int linked = ::linkat(directory, temporaryName.c_str(), directory, keyFileName, 0);
        const int linkError = errno;
        ::unlinkat(directory, temporaryName.c_str(), 0);
        if (linked != 0 && linkError != EEXIST) {
            error = systemError("cannot create the key file", linkError);
            return false;
        }
        if (linked == 0) {
            ::fsync(directory);
            qCDebug(lcPlatform) << "Created a new data-protection key";
        }
        return true;
    }

    // A key that is refused (not private, not a file) is never touched. A corrupt one is set
    // aside when a value is to be protected, and that call fails all the same, so that the
    // caller keeps what it has stored and the user hears of it; the next call makes a new key.
    bool loadKey(KeyMode mode, Key& key, std::string& error)
    {
        FileDescriptor directory;
        std::string directoryPath;
        if (!openKeyDirectory(mode, directory, directoryPath, error))
            return false;
        const std::string path = directoryPath + "/" + keyFileName;
        struct stat st { };
        switch (readKey(directory.get(), path, key, st, error)) {
        case KeyState::Read:
            return true;
        case KeyState::Refused:
            return false;
        case KeyState::Corrupt:
            if (mode == KeyMode::CreateIfMissing)
                setAsideKey(directory.get(), directoryPath, st, error);
            return false;
        case KeyState::Missing:
            break;
        }
        if (mode == KeyMode::OpenExisting)
            return false;
        if (!createKey(directory.get(), error))
            return false;
        return readKey(directory.get(), path, key, st, error) == KeyState::Read;
    }

    // EVP update calls take int lengths; large inputs go through in slices.
    constexpr std::size_t sliceSize = std::size_t(1) << 30;

} // namespace

BlobLayout parseProtectedBlob(const Bytes& blob)
{
    BlobLayout layout;
    const std::size_t magicSeen = std::min(blob.size(), sizeof(magic));
    if (blob.empty() || !std::equal(magic, magic + magicSeen, blob.begin()))
        layout.error = "blob has an unknown format";
    else if (blob.size() > sizeof(magic) && blob[sizeof(magic)] != formatVersion)
        layout.error = "blob has an unsupported format version";
    else if (blob.size() < minimumBlobSize)
        layout.error = "blob is truncated";
    if (!layout.error.empty())
        return layout;
    layout.ok = true;
    layout.keyId = blob.data() + sizeof(magic) + 1;
    layout.nonce = blob.data() + headerSize;
    layout.ciphertext = layout.nonce + nonceSize;
    layout.ciphertextSize = blob.size() - minimumBlobSize;
    layout.tag = layout.ciphertext + layout.ciphertextSize;
    return layout;
}

ProtectionResult protectBytes(const Bytes& plain)
{
    Key key;
    std::string error;
    if (!loadKey(KeyMode::CreateIfMissing, key, error))
        return failure(error);

    Bytes blob(minimumBlobSize + plain.size());
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
    if (!loadKey(KeyMode::OpenExisting, key, error))
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

void setBindingForTesting(std::optional<std::string> machineId, std::optional<unsigned> uid)
{
    std::lock_guard<std::mutex> lock(bindingMutex);
    bindingOverride.machineId = std::move(machineId);
    bindingOverride.uid = uid;
}

} // namespace zel::platform
