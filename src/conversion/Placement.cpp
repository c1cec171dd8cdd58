#include "conversion/Placement.h"

#include "conversion/ConversionLog.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"
#include "files/DurableFiles.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace quarnel {

namespace {

PlacementProbe g_probe = nullptr;
int g_placed = 0;

QString recordPathOf(const QString& logPath)
{
    return logPath + QStringLiteral(".placing");
}

std::string native(const QString& path)
{
    return NativeName(path).toStdString();
}

// The folder a file is in, without its closing separator ("/" for the root).
QString folderOf(const QString& path)
{
    QString folder = FolderOf(path);
    if (folder.size() > 1)
        folder.chop(1);
    return folder;
}

QByteArray hiddenPrefix(const QByteArray& token)
{
    return ".quarnel-" + token + '-';
}

void throwIf(int error)
{
    if (error)
        throw error == ENOENT ? RuntimeError(ErrorNumber::PathNotFound) : RuntimeError::fromErrno(error);
}

RuntimeError notAFile(const QString& path)
{
    return RuntimeError(static_cast<int>(ErrorNumber::PathFileAccessError),
                        QStringLiteral("Something that is not a file stands where the placement record goes: ") + path);
}

PlacedFile placedFileOf(const struct stat& info)
{
    return {info.st_ino, info.st_size, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
}

// Removes the file at this name if it is still exactly the one the program placed there.
void removeIfSame(const QByteArray& target, const PlacedFile& placed)
{
    struct stat info = {};
    if (::lstat(target.constData(), &info) == 0 && S_ISREG(info.st_mode) && placedFileOf(info) == placed)
        ::unlink(target.constData());
}

// An absolute path without ".", ".." or empty components, and without a trailing separator.
bool isPlainAbsolute(const QByteArray& path)
{
    if (!path.startsWith('/') || path.size() < 2 || path.endsWith('/') || path.contains('\0'))
        return false;
    for (const QByteArray& part : path.mid(1).split('/')) {
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    }
    return true;
}

// Removes hidden images of earlier runs from a folder (any token but `ownToken`; all with none): a power cut can
// lose the record that named them. Only the program's own names, only this user's regular files.
void removeStaleHidden(const QByteArray& folder, const QByteArray& ownToken)
{
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    static const QRegularExpression ours(QStringLiteral("^\\.quarnel-[0-9a-f]{16}-[0-9]+\\.jpg$"));
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        struct stat info = {};
        if (name.startsWith(".quarnel-") && !name.startsWith(hiddenPrefix(ownToken))
            && ours.match(QString::fromLatin1(name)).hasMatch()
            && ::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)
            && info.st_uid == ::geteuid())
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// What a record says, when every line of it is one the program writes and names only what it may touch.
struct Record
{
    QByteArray token;
    qint64 logOffset = -1;
    QSet<QByteArray> folders;
    std::map<int, QByteArray> pdfs;
    struct Final
    {
        int pdf;
        PlacedFile file;
        QByteArray target;
    };
    std::vector<Final> finals;
};

bool parseRecord(const QByteArray& text, Record& record)
{
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast(); // a last line without its end was cut off while it was written: never acted on
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        bool ok = true;
        if (fields.size() == 2 && fields[0] == "token" && fields[1].size() == 16)
            record.token = fields[1];
        else if (fields.size() == 2 && fields[0] == "log")
            record.logOffset = fields[1].toLongLong(&ok);
        else if (fields.size() == 2 && fields[0] == "folder")
            record.folders.insert(QByteArray::fromHex(fields[1]));
        else if (fields.size() == 3 && fields[0] == "pdf")
            record.pdfs[fields[1].toInt(&ok)] = QByteArray::fromHex(fields[2]);
        else if (fields.size() == 6 && fields[0] == "final") {
            bool numbers[4] = {};
            record.finals.push_back({fields[1].toInt(&numbers[0]),
                                     {static_cast<ino_t>(fields[2].toULongLong(&numbers[1])),
                                      fields[3].toLongLong(&numbers[2]), fields[4].toLongLong(&numbers[3])},
                                     QByteArray::fromHex(fields[5])});
            ok = numbers[0] && numbers[1] && numbers[2] && numbers[3];
        } else
            ok = false;
        if (!ok)
            return false;
    }
    if (lines.isEmpty())
        return true;
    if (record.token.isEmpty() || record.logOffset < 0)
        return false;
    for (const QByteArray& folder : record.folders) {
        if (folder != "/" && !isPlainAbsolute(folder))
            return false;
    }
    // Only images in the folders the record names, directly.
    for (const Record::Final& final : record.finals) {
        const qsizetype slash = final.target.lastIndexOf('/');
        if (!isPlainAbsolute(final.target) || !final.target.endsWith(".jpg")
            || !record.folders.contains(final.target.left(slash > 0 ? slash : 1)))
            return false;
    }
    return true;
}

} // namespace

void SetPlacementProbe(PlacementProbe probe)
{
    g_probe = probe;
    g_placed = 0;
}

PlacementBatch::PlacementBatch(QString logPath)
    : m_logPath(std::move(logPath))
    , m_recordPath(recordPathOf(m_logPath))
    // One token for the whole pass: whatever content of the record a power cut leaves, it names the
    // hidden images of every batch of the pass (an undone batch's removals may be lost with it).
    , m_token(QByteArray::number(QRandomGenerator::global()->generate64(), 16).rightJustified(16, '0'))
{ }

PlacementBatch::~PlacementBatch()
{
    for (Pdf& pdf : m_pdfs)
        undo(pdf);
    m_pdfs.clear();
    if (m_record >= 0) {
        ::close(m_record);
        ::unlink(NativeName(m_recordPath).constData());
    }
}

void PlacementBatch::openRecord()
{
    if (m_record < 0) {
        struct stat entry = {};
        if (::lstat(NativeName(m_recordPath).constData(), &entry) == 0 && !S_ISREG(entry.st_mode))
            throw notAFile(m_recordPath);
        ::unlink(NativeName(m_recordPath).constData());
        m_record = OpenPrivateFile(m_recordPath, O_WRONLY | O_CREAT | O_EXCL | O_APPEND);
    } else if (::ftruncate(m_record, 0) != 0) {
        throw RuntimeError::fromErrno(errno);
    }
    struct stat log = {};
    const qint64 logSize = ::stat(NativeName(m_logPath).constData(), &log) == 0 ? log.st_size : 0;
    QByteArray header = "token " + m_token + "\nlog " + QByteArray::number(logSize) + '\n';
    // The folders of the pass's earlier batches stay named, for the same reason.
    for (const QString& folder : std::as_const(m_folders))
        header += "folder " + NativeName(folder).toHex() + '\n';
    note(header);
}

void PlacementBatch::note(const QByteArray& line)
{
    WriteAll(m_record, line);
}

void PlacementBatch::syncRecord()
{
    int error = 0;
    RunServingEvents([&] { error = files::SyncData(m_record); });
    throwIf(error);
}

void PlacementBatch::noteFolder(const QString& folder)
{
    if (m_folders.contains(folder))
        return;
    // Synced before anything is made there, so that a power cut never leaves a file the record misses.
    note("folder " + NativeName(folder).toHex() + '\n');
    syncRecord();
    m_folders.insert(folder);
    removeStaleHidden(NativeName(folder), m_token);
}

void PlacementBatch::add(const QString& pdfPath, const std::vector<Image>& images)
{
    if (m_pdfs.empty())
        openRecord();
    note("pdf " + QByteArray::number(m_pdfs.size()) + ' ' + NativeName(LogPathText(pdfPath)).toHex() + '\n');
    m_pdfs.push_back({pdfPath, {}});
    Pdf& pdf = m_pdfs.back();
    try {
        for (const Image& image : images) {
            const QString folder = folderOf(image.target);
            noteFolder(folder);
            const QString hidden = (folder.endsWith(u'/') ? folder : folder + u'/')
                + QString::fromLatin1(hiddenPrefix(m_token)) + QString::number(++m_serial) + QStringLiteral(".jpg");
            pdf.images.push_back({hidden, image.target, {}, {}});
            const std::string from = native(image.file);
            const std::string to = native(hidden);
            // A hard link costs nothing on the same file system; a copy elsewhere (another disk, a share).
            if (::link(from.c_str(), to.c_str()) == 0)
                continue;
            const int error = errno;
            if (error != EXDEV && error != EPERM && error != EMLINK && error != ENOTSUP && error != EACCES)
                throwIf(error);
            const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
            if (in < 0)
                throwIf(errno);
            int out = -1;
            int failure = files::CreateNew(to, 0666, out);
            if (!failure)
                failure = files::CopyWhole(in, out);
            if (out >= 0 && ::close(out) != 0 && !failure)
                failure = errno;
            ::close(in);
            throwIf(failure);
        }
    } catch (...) {
        undo(pdf);
        m_pdfs.pop_back();
        throw;
    }
}

std::vector<bool>
PlacementBatch::place(const std::function<QString(const QString& target, const QSet<QString>& taken)>& newName,
                      const std::function<void(const RuntimeError& error)>& failure)
{
    std::vector<bool> placed(m_pdfs.size(), true);
    const auto fail = [&](std::size_t index, const RuntimeError& error) {
        undo(m_pdfs[index]);
        placed[index] = false;
        failure(error);
    };
    // The images' data (and times) on the disk before any final name can be: synced on a thread of its
    // own, so that the window goes on while a slow disk takes its time.
    std::vector<int> syncErrors(m_pdfs.size(), 0);
    {
        std::vector<std::vector<std::pair<std::string, PlacedFile*>>> files(m_pdfs.size());
        for (std::size_t i = 0; i < m_pdfs.size(); ++i)
            for (Staged& image : m_pdfs[i].images)
                files[i].emplace_back(native(image.hidden), &image.file);
        RunServingEvents([&] {
            // Every image's writing started first, then each waited for: the disk takes them together
            // instead of one journal commit after another.
            std::vector<std::vector<int>> fds(files.size());
            for (std::size_t i = 0; i < files.size(); ++i)
                for (const auto& entry : files[i]) {
                    const int fd = ::open(entry.first.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
                    if (fd >= 0)
                        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
                    else if (!syncErrors[i])
                        syncErrors[i] = errno;
                    fds[i].push_back(fd);
                }
            for (std::size_t i = 0; i < files.size(); ++i)
                for (std::size_t n = 0; n < files[i].size(); ++n) {
                    const int fd = fds[i][n];
                    if (fd < 0)
                        continue;
                    struct stat info = {};
                    int error = syncErrors[i] ? 0 : files::SyncFile(fd);
                    if (!error && ::fstat(fd, &info) != 0)
                        error = errno;
                    ::close(fd);
                    if (error && !syncErrors[i])
                        syncErrors[i] = error;
                    *files[i][n].second = placedFileOf(info);
                }
        });
    }
    for (std::size_t i = 0; i < m_pdfs.size(); ++i) {
        if (syncErrors[i])
            fail(i,
                 syncErrors[i] == ENOENT ? RuntimeError(ErrorNumber::PathNotFound)
                                         : RuntimeError::fromErrno(syncErrors[i]));
    }
    // Every final name noted and synced before it is given, then given without replacing anything.
    QSet<QString> taken;
    const auto noteFinal = [&](std::size_t pdf, Staged& image, const QString& name) {
        image.placed = name;
        taken.insert(name);
        note("final " + QByteArray::number(pdf) + ' ' + QByteArray::number(static_cast<qulonglong>(image.file.inode))
             + ' ' + QByteArray::number(image.file.size) + ' ' + QByteArray::number(image.file.modifiedNs) + ' '
             + NativeName(name).toHex() + '\n');
    };
    for (std::size_t i = 0; i < m_pdfs.size(); ++i) {
        if (placed[i])
            for (Staged& image : m_pdfs[i].images)
                noteFinal(i, image, newName(image.target, taken));
    }
    syncRecord();
    for (std::size_t i = 0; i < m_pdfs.size(); ++i) {
        if (!placed[i])
            continue;
        try {
            for (Staged& image : m_pdfs[i].images) {
                int error = files::PlaceWithoutReplacing(native(image.hidden), native(image.placed));
                // Taken in the meantime: the next free name, noted first like the others.
                for (int tries = 0; error == EEXIST && tries < 1000; ++tries) {
                    noteFinal(i, image, newName(image.target, taken));
                    syncRecord();
                    error = files::PlaceWithoutReplacing(native(image.hidden), native(image.placed));
                }
                if (error)
                    image.placed.clear();
                throwIf(error);
                if (g_probe)
                    g_probe(++g_placed);
            }
        } catch (const RuntimeError& error) {
            fail(i, error);
        }
    }
    // The names themselves on the disk, before any line can say the images are there.
    std::map<QString, int> folderErrors;
    RunServingEvents([&] {
        for (const QString& folder : std::as_const(m_folders))
            folderErrors[folder] = files::SyncFolder(native(folder));
    });
    for (const QString& folder : std::as_const(m_folders)) {
        const int error = folderErrors[folder];
        for (std::size_t i = 0; error && i < m_pdfs.size(); ++i) {
            if (placed[i] && !m_pdfs[i].images.empty() && folderOf(m_pdfs[i].images.front().target) == folder)
                fail(i, RuntimeError::fromErrno(error));
        }
    }
    return placed;
}

void PlacementBatch::committed(const std::vector<bool>& logged)
{
    bool undone = false;
    for (std::size_t i = 0; i < m_pdfs.size(); ++i) {
        if (i >= logged.size() || !logged[i]) {
            undone = undone || !m_pdfs[i].images.empty();
            undo(m_pdfs[i]);
        }
    }
    // What was taken back stays taken back before the record moves on.
    if (undone)
        RunServingEvents([&] {
            for (const QString& folder : std::as_const(m_folders))
                files::SyncFolder(native(folder));
        });
    end();
}

void PlacementBatch::undo(Pdf& pdf)
{
    for (auto image = pdf.images.rbegin(); image != pdf.images.rend(); ++image) {
        if (!image->placed.isEmpty())
            removeIfSame(NativeName(image->placed), image->file);
        ::unlink(native(image->hidden).c_str());
    }
    pdf.images.clear();
}

void PlacementBatch::end()
{
    m_pdfs.clear();
    // An empty record: no batch under way. (Should the emptying be lost, the lines are in the log.)
    if (m_record >= 0 && ::ftruncate(m_record, 0) != 0) {
        ::close(m_record);
        m_record = -1;
        ::unlink(NativeName(m_recordPath).constData());
    }
}

void PlacementBatch::removeLeftovers(const QString& folder)
{
    removeStaleHidden(NativeName(folder), QByteArray());
}

void PlacementBatch::recover(const QString& logPath)
{
    const QString recordPath = recordPathOf(logPath);
    struct stat entry = {};
    if (::lstat(NativeName(recordPath).constData(), &entry) != 0)
        return;
    if (!S_ISREG(entry.st_mode))
        throw notAFile(recordPath);
    QByteArray text;
    try {
        QFile file;
        if (file.open(OpenPrivateFile(recordPath, O_RDONLY), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            text = file.readAll();
    } catch (const RuntimeError&) {
        return; // not the program's own: neither trusted nor removed
    }
    Record record;
    if (!parseRecord(text, record)) {
        ::unlink(NativeName(recordPath).constData());
        // A record of an older version of the program names files by their inode alone: too little to
        // tell them from the user's, so nothing it names is touched.
        if (!text.startsWith("token "))
            return;
        throw RuntimeError(static_cast<int>(ErrorNumber::PathFileAccessError),
                           QStringLiteral("A placement record that names what it may not touch was ignored: ")
                               + recordPath);
    }
    // A PDF is complete when its converted line was written after the batch began: its images stay.
    QByteArray logTail;
    if (record.logOffset >= 0) {
        QFile log(logPath);
        if (log.open(QIODevice::ReadOnly) && log.seek(record.logOffset))
            logTail = log.readAll();
    }
    for (const Record::Final& final : record.finals) {
        const auto pdf = record.pdfs.find(final.pdf);
        if (pdf == record.pdfs.end() || !logTail.contains(" : Converted " + pdf->second + "\r\n"))
            removeIfSame(final.target, final.file);
    }
    for (const QByteArray& folder : std::as_const(record.folders)) {
        removeStaleHidden(folder, QByteArray());
        files::SyncFolder(folder.toStdString());
    }
    ::unlink(NativeName(recordPath).constData());
}

} // namespace quarnel
