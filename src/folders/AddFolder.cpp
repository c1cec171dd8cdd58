#include "folders/AddFolder.h"

#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/RuntimeError.h"
#include "folders/FolderWatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace quarnel {

namespace {

constexpr qsizetype kMaxPathCharacters = 260;
constexpr int kRoomStep = 50;

// Attribute bits as the walk's rule states them. Linux has no system bit; a leading "." hides.
enum Attribute { Hidden = 2, System = 4, Directory = 16, ReparsePoint = 1024 };

int attributeValue(const QString& folder)
{
    QString bare = folder;
    while (bare.size() > 1 && bare.endsWith(kNativeSeparator))
        bare.chop(1);
    int value = Directory;
    if (FileNameOf(bare).startsWith(u'.'))
        value |= Hidden;
    struct stat info = {};
    if (::lstat(NativeName(bare).constData(), &info) == 0 && S_ISLNK(info.st_mode))
        value |= ReparsePoint;
    return value;
}

bool isRootFolder(const QString& folder)
{
    for (QChar c : folder) {
        if (c != kNativeSeparator)
            return false;
    }
    return !folder.isEmpty();
}

bool isWalkable(const QString& folder)
{
    const int value = attributeValue(folder);
    return (value != (Hidden | System | Directory) && value != (Hidden | System | Directory | ReparsePoint))
        || isRootFolder(folder);
}

using FolderId = std::pair<dev_t, ino_t>;

class Walk
{
public:
    Walk(MessageBoxes& messages, const std::function<void()>& yield, const IgnoreList* ignore)
        : m_guard(Location::GetSubDirectories2016, messages)
        , m_yield(yield)
        , m_ignore(ignore)
    { }

    void run(QStringList& folders, bool recurse)
    {
        QStringList found;
        const QStringList entries = folders;
        for (const QString& v : entries)
            m_guard.step(104, [&] { listOne(v, folders, found); });
        if (recurse && !found.isEmpty())
            m_guard.step(110, [&] { run(found, true); });
        for (const QString& w : std::as_const(found)) {
            m_guard.step(112, [&] {
                if (!FolderExists(w))
                    return;
                m_yield();
                if (isWalkable(w))
                    folders.append(w);
            });
        }
    }

private:
    void listOne(const QString& v, QStringList& folders, QStringList& found)
    {
        if (!FolderExists(v) || v.size() >= kMaxPathCharacters)
            return;
        const QByteArray encoded = NativeName(v);
        DIR* dir = ::opendir(encoded.constData());
        m_yield();
        if (!dir) {
            dropOnDenial(errno, v, folders);
            return;
        }
        struct stat self = {};
        if (::fstat(::dirfd(dir), &self) != 0 || !isWalkable(v)) {
            ::closedir(dir);
            return;
        }
        m_seen.insert({self.st_dev, self.st_ino});
        QStringList names;
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir);
            if (!entry) {
                dropOnDenial(errno, v, folders);
                break;
            }
            const char* raw = entry->d_name;
            if (std::strcmp(raw, ".") == 0 || std::strcmp(raw, "..") == 0)
                continue;
            if (entry->d_type != DT_DIR && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
                continue;
            struct stat info = {};
            if (::fstatat(::dirfd(dir), raw, &info, 0) != 0 || !S_ISDIR(info.st_mode))
                continue;
            m_yield();
            const QString name = NameFromNative(raw);
            if (name.size() >= kMaxPathCharacters || HasInvalidChars(name) || name.contains(u'?'))
                continue;
            if (m_ignore && m_ignore->matches(name))
                continue;
            // A folder reached again, through a link or a loop, is neither entered nor listed twice.
            if (!m_seen.insert({info.st_dev, info.st_ino}).second)
                continue;
            names.append(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end(), NameOrder);
        for (const QString& name : std::as_const(names))
            found.append(v + name + kNativeSeparator);
    }

    static void dropOnDenial(int error, const QString& v, QStringList& folders)
    {
        if (error == EACCES || error == EPERM || error == ENOENT || error == ENOTDIR)
            folders.removeOne(v);
    }

    GuardedProcedure m_guard;
    const std::function<void()>& m_yield;
    const IgnoreList* m_ignore;
    std::set<FolderId> m_seen;
};

} // namespace

void GetSubDirectories2016(QStringList& folders, bool recurse, MessageBoxes& messages,
                           const std::function<void()>& yield, const IgnoreList* ignore)
{
    Walk walk(messages, yield, ignore);
    walk.run(folders, recurse);
}

bool HasInvalidChars(const QString& name)
{
    for (QChar c : name) {
        const char16_t code = c.unicode();
        if (code < 32 || (code >= 127 && code <= 159) || code == u'?' || code == 0xFFFD || IsForeignByte(c))
            return true;
    }
    return false;
}

bool IsFilePresent(const QString& path)
{
    if (path.isEmpty())
        return false;
    // O_PATH asks for no access rights, like the open the test stands for, and never blocks on a FIFO.
    const int fd = ::open(NativeName(path).constData(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info = {};
    // Only a regular file: reading a pipe or a device named like a PDF would wait for ever.
    const bool file = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return file;
}

FileNameList GetFilesInFolder(const QString& folder, const QString& pattern)
{
    const QString base = folder.endsWith(kNativeSeparator) ? folder : folder + kNativeSeparator;
    FileNameList result;
    result.m_names.reserve(101);
    DIR* dir = ::opendir(NativeName(base).constData());
    if (!dir) {
        // A folder that is not there holds no file; one that cannot be listed is an error to report.
        if (errno == ENOENT || errno == ENOTDIR)
            return result;
        throw RuntimeError::fromErrno(errno);
    }
    struct DirCloser
    {
        DIR* dir;
        ~DirCloser() { ::closedir(dir); }
    } closer {dir};
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                throw RuntimeError::fromErrno(errno);
            break;
        }
        if (entry->d_type == DT_DIR)
            continue;
        const QString name = NameFromNative(entry->d_name);
        if (!WildcardMatch(pattern, name))
            continue;
        // The file test, asked of the folder already open: it needs no descriptor of its own, so a
        // process short of them cannot take a file for missing. Only a regular file counts (reading a
        // pipe or a device named like a PDF would wait for ever); a name gone meanwhile is no file.
        struct stat info = {};
        if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) != 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
                continue;
            throw RuntimeError::fromErrno(errno);
        }
        if (!S_ISREG(info.st_mode))
            continue;
        if (result.m_names.size() == result.m_names.capacity())
            result.m_names.reserve(result.m_names.size() + kRoomStep);
        result.m_names.append(name);
    }
    // Listed in name order, as the file system the program was made for lists them: page images
    // named -001, -002, ... are then in page order, whatever order this file system keeps.
    std::sort(result.m_names.begin() + 1, result.m_names.end(), NameOrder);
    return result;
}

bool NameOrder(const QString& a, const QString& b)
{
    const int folded = a.compare(b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
}

QStringList FolderTreeRows(const QString& chosen, MessageBoxes& messages, const std::function<void()>& yield,
                           const IgnoreList& ignore)
{
    QStringList folders {chosen + kNativeSeparator};
    GetSubDirectories2016(folders, true, messages, yield, &ignore);
    QStringList rows;
    rows.reserve(folders.size());
    for (const QString& folder : std::as_const(folders))
        rows.append(CollapseBackslashes(folder));
    return rows;
}

QStringList WithoutFolderTree(const QStringList& rows, const QString& folder)
{
    QString root = CollapseBackslashes(folder);
    while (root.size() > 1 && root.endsWith(kNativeSeparator))
        root.chop(1);
    const QString beneath = root == QString(kNativeSeparator) ? root : root + kNativeSeparator;
    QStringList kept;
    for (const QString& row : rows) {
        QString name = CollapseBackslashes(row);
        if (name != root && !name.startsWith(beneath))
            kept.append(row);
    }
    return kept;
}

} // namespace quarnel
