#include "core/FileProcedures.h"

#include "core/Paths.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"
#include "core/Wildcard.h"
#include "files/DurableFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace quarnel {

void YieldToEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void RunServingEvents(const std::function<void()>& work)
{
    if (!QCoreApplication::instance()) {
        work();
        return;
    }
    std::future<void> done = std::async(std::launch::async, work);
    while (done.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    done.get();
}

bool FolderExists(const QString& path)
{
    struct stat info = {};
    return !path.isEmpty() && ::stat(NativeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool PathExists(const QString& path)
{
    struct stat info = {};
    return !path.isEmpty() && ::stat(NativeName(path).constData(), &info) == 0;
}

bool WildcardMatch(const QString& pattern, const QString& name)
{
    return MatchFolded(pattern.toCaseFolded(), name.toCaseFolded());
}

void DeleteFileQuietly(const QString& path)
{
    YieldToEvents();
    const QString name = FileNameOf(path);
    if (!name.contains(u'*') && !name.contains(u'?')) {
        struct stat info = {};
        const QByteArray encoded = NativeName(path);
        if (::lstat(encoded.constData(), &info) == 0 && !S_ISDIR(info.st_mode))
            ::unlink(encoded.constData());
        return;
    }
    QString folder = FolderOf(path);
    if (folder.isEmpty())
        folder = QStringLiteral(".");
    const QDir dir(folder);
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        if (WildcardMatch(name, entry))
            ::unlink(NativeName(dir.filePath(entry)).constData());
    }
}

bool CopyToNewFile(const QString& from, const QString& to)
{
    // Without waiting: a named pipe in the file's place must not hold the program in open().
    const int source = ::open(NativeName(from).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (source < 0)
        return false;
    struct stat info = {};
    if (::fstat(source, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(source);
        return false;
    }
    const std::string targetName = NativeName(to).toStdString();
    int target = -1;
    if (files::CreateNew(targetName, info.st_mode & 07777, target) != 0) {
        ::close(source);
        return false;
    }
    bool ok = files::CopyWhole(source, target) == 0;
    // The mode asked for at creation is narrowed by the umask; the copy keeps the original's.
    ok = ::fchmod(target, info.st_mode & 07777) == 0 && ok;
    ok = ::close(target) == 0 && ok;
    ::close(source);
    if (!ok)
        ::unlink(targetName.c_str());
    return ok;
}

namespace {

// Takes over the descriptor.
void removeContentsAt(int folder)
{
    DIR* dir = ::fdopendir(folder);
    if (!dir) {
        ::close(folder);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        // Linux refuses to unlink a folder with EISDIR; a link to a folder is unlinked like a file.
        if (::unlinkat(::dirfd(dir), name, 0) == 0 || errno != EISDIR)
            continue;
        const int inner = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner >= 0)
            removeContentsAt(inner);
        ::unlinkat(::dirfd(dir), name, AT_REMOVEDIR);
    }
    ::closedir(dir);
}

} // namespace

void RemoveFolderContents(const QString& folder, bool andFolder)
{
    if (folder.isEmpty())
        return;
    const QByteArray path = NativeName(folder);
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    removeContentsAt(fd);
    if (andFolder)
        ::rmdir(path.constData());
}

void WriteTextFile(const QString& path, const QString& content)
{
    const QByteArray encoded = NativeName(path);
    const int fd = ::open(encoded.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == ENOENT)
            throw RuntimeError(ErrorNumber::PathNotFound);
        throw RuntimeError::fromErrno(errno);
    }
    // Not synced: it serves working files (the batch files), written again for every PDF.
    const QByteArray bytes = TextFileBytes(content);
    int error = files::WriteWhole(fd, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (::close(fd) != 0 && !error)
        error = errno;
    if (error)
        throw RuntimeError::fromErrno(error);
}

QByteArray TextFileBytes(const QString& content)
{
    return (content + QStringLiteral("\r\n")).toLocal8Bit();
}

bool FileHoldsExactly(const QString& path, const QByteArray& bytes)
{
    const int fd = ::open(NativeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info = {};
    bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == bytes.size();
    char buffer[1 << 14];
    for (qsizetype at = 0; same && at < bytes.size();) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        same = got > 0 && got <= bytes.size() - at && std::memcmp(buffer, bytes.constData() + at, got) == 0;
        at += got;
    }
    ::close(fd);
    return same;
}

bool EndsAsJpeg(const QString& path)
{
    const int fd = ::open(NativeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info = {};
    unsigned char end[2] = {0, 0};
    const bool whole = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 4
        && ::pread(fd, end, 2, info.st_size - 2) == 2 && end[0] == 0xFF && end[1] == 0xD9;
    ::close(fd);
    return whole;
}

QString DesktopFolder()
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty())
        throw RuntimeError(ErrorNumber::InvalidProcedureCall);
    return desktop.endsWith(kNativeSeparator) ? desktop : desktop + kNativeSeparator;
}

QString ProgramFolder()
{
    QString folder = QCoreApplication::applicationDirPath();
    if (folder.isEmpty()) {
        // Before an application object exists: ask the kernel where the executable is.
        folder = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
    }
    return folder;
}

QString TempFolder()
{
    QString temp = qEnvironmentVariable("TEMP");
    if (temp.isEmpty()) {
        // Never the shared /tmp: other accounts can write there, and it is often emptied at boot, while
        // the log is the program's memory of what it converted.
        MakeStateFolder();
        temp = StateFolder();
    }
    while (temp.size() > 1 && temp.endsWith(kNativeSeparator))
        temp.chop(1);
    return temp;
}

} // namespace quarnel
