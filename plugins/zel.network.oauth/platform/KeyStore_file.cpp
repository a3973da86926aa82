// The key file: the data-protection key in a file beside the settings that only the user can
// read, for machines without a keyring and for users who choose it.

#include "KeyDirectory_posix.h"
#include "KeyStore_posix.h"

#include "Logging.h"

#include <QFile>
#include <QStandardPaths>

#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zel::platform {

namespace {

    constexpr char keyFileName[] = "data-protection.key";

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

    // Corrupt: a private regular file of the wrong size, which no repair can turn into the key.
    FileState readKey(
        int directory, const std::string& path, Key& key, struct stat& st, std::string& error)
    {
        FileDescriptor fd(::openat(directory, keyFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) {
            const int openError = errno;
            if (openError == ENOENT) {
                error = "no key file";
                return FileState::Missing;
            }
            error = openError == ELOOP
                ? "key file " + path + " is a symbolic link; it is left untouched"
                : systemError("cannot open the key file " + path, openError);
            return FileState::Refused;
        }
        if (::fstat(fd.get(), &st) != 0) {
            error = systemError("cannot inspect the key file " + path, errno);
            return FileState::Refused;
        }
        if (!S_ISREG(st.st_mode)) {
            error = "key file " + path + " is not a regular file; it is left untouched";
            return FileState::Refused;
        }
        error = checkPrivate(st, "key file", path, "600");
        if (!error.empty())
            return FileState::Refused;
        const std::string wrongSize = "key file " + path + " is corrupt: "
            + std::to_string(st.st_size) + " bytes instead of " + std::to_string(keySize);
        if (st.st_size != static_cast<off_t>(keySize)) {
            error = wrongSize;
            return FileState::Corrupt;
        }
        std::size_t done = 0;
        while (done < keySize) {
            const ssize_t n = ::read(fd.get(), key.bytes.data() + done, keySize - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = systemError("cannot read the key file " + path, errno);
                return FileState::Refused;
            }
            if (n == 0) { // shrunk since fstat
                error = wrongSize;
                return FileState::Corrupt;
            }
            done += static_cast<std::size_t>(n);
        }
        return FileState::Read;
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
    bool writeKey(int directory, const Key& fresh, std::string& error)
    {
        const std::string suffix = randomHex(8);
        if (suffix.empty()) {
            error = "cannot get random bytes for the key file's name";
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
            qCDebug(lcPlatform) << "Wrote the data-protection key file";
        }
        return true;
    }

    // A key that is refused (not private, not a file) is never touched. A corrupt one is set
    // aside when a value is to be protected, and that call fails all the same, so that the
    // caller keeps what it has stored and the user hears of it; the next call makes a new key.
    // The key for sealing (CreateIfMissing) or opening. A key that is refused (not private, not
    // a file) is never touched. A corrupt one is set aside when a value is to be sealed, and that
    // call fails all the same, so that the caller keeps what it has stored and the user hears of
    // it; the next call makes a new key.
    KeyState loadKey(KeyMode mode, const Key* given, Key& key, std::string& error)
    {
        FileDescriptor directory;
        std::string directoryPath;
        switch (openKeyDirectory(mode, directory, directoryPath, error)) {
        case FileState::Read:
            break;
        case FileState::Missing:
            return KeyState::Missing;
        default:
            return KeyState::Failed;
        }
        const std::string path = directoryPath + "/" + keyFileName;
        struct stat st { };
        switch (readKey(directory.get(), path, key, st, error)) {
        case FileState::Read:
            return KeyState::Found;
        case FileState::Refused:
            return KeyState::Failed;
        case FileState::Corrupt:
            if (mode == KeyMode::CreateIfMissing)
                setAsideKey(directory.get(), directoryPath, st, error);
            return KeyState::Failed;
        case FileState::Missing:
            break;
        }
        if (mode == KeyMode::OpenExisting)
            return KeyState::Missing;
        Key fresh;
        if (given) {
            fresh.bytes = given->bytes;
        } else if (RAND_bytes(fresh.bytes.data(), static_cast<int>(fresh.bytes.size())) != 1) {
            error = "cannot get random bytes for the key";
            return KeyState::Failed;
        }
        if (!writeKey(directory.get(), fresh, error))
            return KeyState::Failed;
        return readKey(directory.get(), path, key, st, error) == FileState::Read ? KeyState::Found
                                                                                 : KeyState::Failed;
    }

    class FileKeyStore final : public KeyStore {
    public:
        std::string name() const override
        {
            const QString base
                = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
            return "file " + QFile::encodeName(base).toStdString() + "/zel/" + keyFileName;
        }

        KeyState read(Key& key, std::string& error) override
        {
            return loadKey(KeyMode::OpenExisting, nullptr, key, error);
        }

        KeyState create(Key& key, std::string& error) override
        {
            return loadKey(KeyMode::CreateIfMissing, nullptr, key, error);
        }

        KeyState add(const Key& key, std::string& error) override
        {
            Key kept;
            const KeyState state = loadKey(KeyMode::CreateIfMissing, &key, kept, error);
            if (state == KeyState::Found && kept.bytes != key.bytes) {
                error = "a different key file exists";
                return KeyState::Failed;
            }
            return state;
        }

        // Overwritten first, so that the key does not linger in the file's old blocks for
        // whoever reads the disk (as far as the file system rewrites in place).
        bool remove(std::string& error) override
        {
            FileDescriptor directory;
            std::string directoryPath;
            const FileState opened
                = openKeyDirectory(KeyMode::OpenExisting, directory, directoryPath, error);
            if (opened != FileState::Read)
                return opened == FileState::Missing;
            FileDescriptor fd(
                ::openat(directory.get(), keyFileName, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
            struct stat st { };
            if (!fd.valid()) {
                if (errno == ENOENT)
                    return true;
                error = systemError("cannot open the key file to remove it", errno);
                return false;
            }
            if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
                error = "the key file is not a regular file; it is left untouched";
                return false;
            }
            const std::vector<unsigned char> zeros(static_cast<std::size_t>(st.st_size));
            if (!writeAll(fd.get(), zeros.data(), zeros.size()) || ::fsync(fd.get()) != 0
                || !fd.close()) {
                error = systemError("cannot overwrite the key file", errno);
                return false;
            }
            if (::unlinkat(directory.get(), keyFileName, 0) != 0 && errno != ENOENT) {
                error = systemError("cannot remove the key file", errno);
                return false;
            }
            ::fsync(directory.get());
            return true;
        }
    };

} // namespace

std::unique_ptr<KeyStore> createFileKeyStore() { return std::make_unique<FileKeyStore>(); }

} // namespace zel::platform
