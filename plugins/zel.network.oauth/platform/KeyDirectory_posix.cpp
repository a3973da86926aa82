#include "KeyDirectory_posix.h"

#include "KeyStore_posix.h"

#include <QDir>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>

namespace zel::platform {

namespace {

    constexpr char lockFileName[] = ".data-protection.lock";

} // namespace

std::string systemError(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
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
        return std::string(what) + " " + path + " is accessible by group or others (mode " + mode
            + ")" + repair + "chmod " + privateMode + " '" + path + "'";
    }
    return {};
}

FileState openKeyDirectory(
    KeyMode mode, FileDescriptor& directory, std::string& directoryPath, std::string& error)
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty()) {
        error = "no data location for the key";
        return FileState::Refused;
    }
    const QByteArray path = QFile::encodeName(base + QStringLiteral("/zel"));
    directoryPath = path.toStdString();
    if (mode == KeyMode::CreateIfMissing) {
        if (!QDir().mkpath(base)) {
            error = "cannot create the data location for the key";
            return FileState::Refused;
        }
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
            error = systemError("cannot create the key directory", errno);
            return FileState::Refused;
        }
    }
    FileDescriptor fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        const int openError = errno;
        if (openError == ENOENT) {
            error = "no key file";
            return FileState::Missing;
        }
        if (openError == ENOTDIR || openError == ELOOP)
            error = "key directory is not a directory";
        else
            error = systemError("cannot open the key directory", openError);
        return FileState::Refused;
    }
    struct stat st { };
    if (::fstat(fd.get(), &st) != 0) {
        error = systemError("cannot inspect the key directory", errno);
        return FileState::Refused;
    }
    error = checkPrivate(st, "key directory", directoryPath, "700");
    if (!error.empty())
        return FileState::Refused;
    directory.reset(fd.release());
    return FileState::Read;
}

KeyCreationLock::~KeyCreationLock()
{
    if (fd >= 0)
        ::close(fd); // releases the lock
}

bool KeyCreationLock::acquire(std::chrono::steady_clock::time_point deadline, std::string& error)
{
    FileDescriptor directory;
    std::string directoryPath;
    if (openKeyDirectory(KeyMode::CreateIfMissing, directory, directoryPath, error)
        != FileState::Read)
        return false;
    FileDescriptor lock(
        ::openat(directory.get(), lockFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock.valid()) {
        error = systemError("cannot open the key creation lock", errno);
        return false;
    }
    // Polled rather than blocking, so that a process stuck while holding it cannot hold this
    // thread beyond the deadline.
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = systemError("cannot take the key creation lock", errno);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "another process is creating the key and did not finish in time";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    fd = lock.release();
    return true;
}

} // namespace zel::platform
