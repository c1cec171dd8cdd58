#include "core/PrivateFolder.h"

#include "core/Paths.h"
#include "core/RuntimeError.h"
#include "files/DurableFiles.h"

#include <QDir>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarnel {

namespace {

bool ownedAndClosed(const struct stat& info)
{
    return info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A folder in which no other account can rename, remove or replace our entries: ours or root's, and
// either writable by no one else or sticky (as /tmp is).
bool parentHolds(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray parent = slash <= 0 ? QByteArray("/") : path.left(slash);
    struct stat info = {};
    if (::stat(parent.constData(), &info) != 0)
        return false;
    const bool trustedOwner = info.st_uid == ::geteuid() || info.st_uid == 0;
    return trustedOwner && ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (info.st_mode & S_ISVTX) != 0);
}

RuntimeError refused()
{
    return RuntimeError(ErrorNumber::PermissionDenied);
}

} // namespace

QString StateFolder()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // The XDG base directory rules ignore a relative value.
    if (base.isEmpty() || !base.startsWith(u'/'))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    while (base.size() > 1 && base.endsWith(u'/'))
        base.chop(1);
    return base + QStringLiteral("/Vantorell/Quarnel");
}

bool MakeStateFolder()
{
    const QByteArray path = NativeName(StateFolder());
    for (qsizetype slash = path.indexOf('/', 1); slash >= 0; slash = path.indexOf('/', slash + 1))
        ::mkdir(path.left(slash).constData(), 0700);
    ::mkdir(path.constData(), 0700);
    struct stat info = {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

void UsePrivateFolder(const QString& path)
{
    const QByteArray name = NativeName(path);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
        throw errno == ENOENT ? RuntimeError(ErrorNumber::PathNotFound) : RuntimeError::fromErrno(errno);
    struct stat info = {};
    if (::lstat(name.constData(), &info) != 0)
        throw RuntimeError::fromErrno(errno);
    if (!S_ISDIR(info.st_mode) || !ownedAndClosed(info) || !parentHolds(name))
        throw refused();
}

int OpenPrivateFile(const QString& path, int flags)
{
    // Non-blocking, so that a pipe planted under the name cannot hold the program up.
    const int fd = ::open(NativeName(path).constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP)
            throw refused();
        throw error == ENOENT ? RuntimeError(ErrorNumber::PathNotFound) : RuntimeError::fromErrno(error);
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !ownedAndClosed(info)) {
        ::close(fd);
        throw refused();
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void WriteAll(int fd, const QByteArray& bytes)
{
    if (const int error = files::WriteWhole(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())))
        throw RuntimeError::fromErrno(error);
}

void ReplacePrivateFile(const QString& path, const QByteArray& bytes)
{
    if (const int error
        = files::ReplaceAtomically(NativeName(path).toStdString(), bytes.constData(), bytes.size(), 0600))
        throw RuntimeError::fromErrno(error);
}

} // namespace quarnel
