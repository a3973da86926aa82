#pragma once

// The directory that holds the key file and the key creation lock: where it is, private to the
// user, opened without following links. The key file (KeyStore_file.cpp) and the creation lock
// (KeyCreationLock, in KeyDirectory_posix.cpp) both start from it.

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zel::platform {

// Owns a file descriptor and closes it when it goes.
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

std::string systemError(const std::string& what, int error);

// Empty when the file or directory belongs to this user alone; otherwise why not, and how its
// owner can make it private again with privateMode ("600", "700").
std::string checkPrivate(
    const struct stat& st, const char* what, const std::string& path, const char* privateMode);

enum class KeyMode { OpenExisting, CreateIfMissing };
enum class FileState { Read, Missing, Corrupt, Refused };

// Opens the key directory (with CreateIfMissing, made first): Read, Missing when it does not
// exist, or Refused with the error.
FileState openKeyDirectory(
    KeyMode mode, FileDescriptor& directory, std::string& directoryPath, std::string& error);

} // namespace zel::platform
