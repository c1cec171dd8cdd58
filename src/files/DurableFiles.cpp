#include "files/DurableFiles.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarnel::files {

int CreateNew(const std::string& path, mode_t mode, int& fd)
{
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    return fd < 0 ? errno : 0;
}

int WriteWhole(int fd, const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int CopyWhole(int from, int to)
{
    for (;;) {
        const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (copied > 0)
            continue;
        if (copied == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
            return errno;
        break;
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? errno : 0;
        if (const int error = WriteWhole(to, buffer, static_cast<std::size_t>(got)))
            return error;
    }
}

int SyncData(int fd)
{
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int SyncFile(int fd)
{
    while (::fsync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int SyncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = SyncFile(fd);
    ::close(fd);
    // Folders that cannot be synced keep their entries as the file system keeps them.
    if (error == EINVAL || error == ENOTSUP || error == EROFS || error == EBADF)
        error = 0;
    return error;
}

int PlaceWithoutReplacing(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno == EEXIST || (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP))
        return errno;
    // No exclusive rename here (NFS, some FUSE file systems): a hard link is as exclusive.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS)
        return errno;
    // Neither (some network file systems): a plain rename to a name seen free, the best there is.
    struct stat target = {};
    if (::lstat(to.c_str(), &target) == 0)
        return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int WriteNewFile(const std::string& path, const void* data, std::size_t size, mode_t mode)
{
    int fd = -1;
    if (const int error = CreateNew(path, mode, fd))
        return error;
    int error = WriteWhole(fd, data, size);
    if (!error)
        error = SyncData(fd);
    if (::close(fd) != 0 && !error)
        error = errno;
    if (error)
        ::unlink(path.c_str());
    return error;
}

int ReplaceAtomically(const std::string& path, const void* data, std::size_t size, mode_t mode)
{
    const std::string next = path + ".new";
    ::unlink(next.c_str());
    if (const int error = WriteNewFile(next, data, size, mode))
        return error;
    if (::rename(next.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(next.c_str());
        return error;
    }
    return SyncFolder(FolderOf(path));
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace quarnel::files
