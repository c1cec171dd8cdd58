#include "conversion/ConvertedIndex.h"

#include "conversion/ConversionLog.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"
#include "files/DurableFiles.h"

#include <QDataStream>
#include <QFile>
#include <QLocale>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quarnel {

namespace {

constexpr qint64 kFingerprint = 4096;
constexpr qint64 kPieceBytes = 4 << 20;
// No line the program writes is longer (a path is at most 4 KB, its line ends escaped at 3 bytes each):
// past this, a line is passed over unread rather than gathered.
constexpr qsizetype kLongestLine = 64 << 10;

// A converted line: the PDF's path as the log writes it, and the line's time.
struct ConvertedLine
{
    QString path;
    QDateTime when; // invalid for any other line
};

// Reads a converted line of the log that starts at this offset. Only this kind is read back: the other
// lines are the user's record.
ConvertedLine parseConvertedLine(QByteArrayView raw, qint64 offset, const std::vector<LogDateFormat>& formats)
{
    static const QByteArrayView separator(" : ");
    static const QByteArrayView kind("Converted ");
    const qsizetype mark = raw.indexOf(separator);
    if (mark <= 0 || !raw.sliced(mark + separator.size()).startsWith(kind))
        return {};
    const QDateTime when = ParseLogDate(QString::fromUtf8(raw.first(mark)), offset, formats);
    if (!when.isValid())
        return {};
    return {NameFromNative(raw.sliced(mark + separator.size() + kind.size())), when};
}

// Reads exactly `size` bytes at `offset` (fewer only at the end of the file).
QByteArray readAt(int fd, qint64 offset, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes.data() + done, static_cast<size_t>(size - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw RuntimeError(ErrorNumber::DeviceIoError);
        if (n == 0)
            break;
        done += n;
    }
    bytes.truncate(done);
    return bytes;
}

// Calls `line` for each complete line of `bytes` (ended by CR, LF or CR LF); returns the rest.
template <class Visitor> QByteArray forEachLine(const QByteArray& bytes, Visitor line)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n')
            continue;
        line(QByteArrayView(bytes).sliced(start, i - start));
        // CR LF is one line end; a CR at the very end may still be followed by its LF.
        if (bytes[i] == '\r' && i + 1 == bytes.size())
            return QByteArray("\r");
        if (bytes[i] == '\r' && bytes[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    return bytes.mid(start);
}

// When the file was created, where the file system keeps it (0 otherwise): a log deleted and written
// anew can get the same inode number, but not the same birth.
qint64 birthOf(int fd)
{
    struct statx info = {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &info) != 0 || !(info.stx_mask & STATX_BTIME))
        return 0;
    return static_cast<qint64>(info.stx_btime.tv_sec) * 1000000000LL + info.stx_btime.tv_nsec;
}

} // namespace

QString LogVersionsPath(const QString& logPath)
{
    return logPath + QStringLiteral(".versions");
}

QString LogIndexPath(const QString& logPath)
{
    return logPath + QStringLiteral(".index");
}

void AppendVersionRecords(const QString& logPath, const std::vector<VersionNote>& notes)
{
    if (notes.empty())
        return;
    QByteArray bytes;
    for (const VersionNote& note : notes)
        bytes += QByteArray::number(note.offset) + '\t' + QByteArray::number(note.lineHash, 16) + '\t'
            + QByteArray::number(note.version.size) + '\t' + QByteArray::number(note.version.modifiedNs) + '\n';
    const int fd = OpenPrivateFile(LogVersionsPath(logPath), O_RDWR | O_CREAT | O_APPEND);
    struct stat info = {};
    char last = '\n';
    // A last note cut off (a full disk) is ended first, or it would swallow the next one.
    if (::fstat(fd, &info) == 0 && info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n')
        bytes.prepend('\n');
    int error = files::WriteWhole(fd, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (!error)
        RunServingEvents([&] { error = files::SyncData(fd); });
    ::close(fd);
    if (error)
        throw RuntimeError::fromErrno(error);
}

ConvertedIndex::ConvertedIndex(QString logPath)
    : m_logPath(std::move(logPath))
{ }

void ConvertedIndex::consume(const QByteArray& bytes, qint64 offset)
{
    qsizetype from = 0;
    if (m_overlong) {
        // The rest of a line too long to be one of the program's: passed over up to its end.
        while (from < bytes.size() && bytes[from] != '\r' && bytes[from] != '\n')
            ++from;
        if (from == bytes.size())
            return;
        m_overlong = false;
        ++from;
    }
    QByteArray pending = m_partial + bytes.mid(from);
    qint64 start = offset + from - m_partial.size();
    // A CR held back from the last read that is followed by an LF now ends the same line.
    if (m_partial == "\r") {
        const qsizetype skip = pending.startsWith("\r\n") ? 2 : 1;
        pending = pending.mid(skip);
        start += skip;
    }
    m_partial
        = forEachLine(pending, [&](QByteArrayView raw) { take(raw, start + (raw.data() - pending.constData())); });
    if (m_partial.size() > kLongestLine) {
        m_partial.clear();
        m_overlong = true;
    }
}

void ConvertedIndex::take(QByteArrayView raw, qint64 offset)
{
    const ConvertedLine line = parseConvertedLine(raw, offset, m_formats);
    if (!line.when.isValid())
        return;
    Entry& entry = m_entries[line.path];
    if (!entry.newest.isValid() || line.when > entry.newest)
        entry.newest = line.when;
    entry.lastOffset = offset;
    entry.lastHash = LogLineHash(raw);
    m_changedSinceSave = true;
}

bool ConvertedIndex::stillSameFile(int fd, qint64 size) const
{
    if (size < m_offset)
        return false;
    if (readAt(fd, 0, m_head.size()) != m_head)
        return false;
    return readAt(fd, m_offset - m_tail.size(), m_tail.size()) == m_tail;
}

void ConvertedIndex::rebuild(int fd)
{
    m_entries.clear();
    m_partial.clear();
    m_overlong = false;
    m_offset = 0;
    m_savedOffset = -1;
    m_head.clear();
    m_tail.clear();
    struct stat info = {};
    if (::fstat(fd, &info) == 0) {
        m_device = info.st_dev;
        m_inode = info.st_ino;
        m_birth = birthOf(fd);
    }
}

void ConvertedIndex::refresh()
{
    struct stat entry = {};
    const bool exists = ::lstat(NativeName(m_logPath).constData(), &entry) == 0;
    if (!exists && errno != ENOENT && errno != ENOTDIR)
        throw RuntimeError::fromErrno(errno);
    // A log planted by another account (or a link to one) could make the program skip PDFs: not read.
    const int fd = exists ? OpenPrivateFile(m_logPath, O_RDONLY) : -1;
    if (fd < 0) {
        // No log: nothing was converted.
        m_entries.clear();
        m_partial.clear();
        m_overlong = false;
        m_unended = {};
        m_offset = -1;
        m_savedOffset = -1;
        return;
    }
    struct FdCloser
    {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer {fd};
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        throw RuntimeError::fromErrno(errno);
    const qint64 size = info.st_size;
    // The same file, not one written anew that was given the same inode number.
    const bool sameIdentity
        = m_offset >= 0 && info.st_dev == m_device && info.st_ino == m_inode && birthOf(fd) == m_birth;
    if (sameIdentity && size == m_offset && info.st_mtim.tv_sec == m_modified.tv_sec
        && info.st_mtim.tv_nsec == m_modified.tv_nsec)
        return;
    // The first read starts where the index saved by an earlier run ends, when it still fits the log.
    if (!(sameIdentity && stillSameFile(fd, size)) && !(m_offset < 0 && load(fd, size)))
        rebuild(fd);
    // Records are written before their lines: the ones for the bytes about to be read are there now.
    m_formats = ReadLogDateFormats(m_logPath, fd);
    // A large log is taken in by pieces, serving the window's events in between, so that reading a
    // log of millions of lines never freezes the window.
    while (m_offset < size) {
        const QByteArray piece = readAt(fd, m_offset, std::min(size - m_offset, kPieceBytes));
        if (piece.isEmpty())
            break;
        consume(piece, m_offset);
        m_offset += piece.size();
        if (m_offset < size)
            YieldToEvents();
    }
    // A last line without its line end (a text editor saved the log so) counts while it stays the last.
    const qint64 unendedAt = m_offset - m_partial.size();
    const ConvertedLine unended
        = m_partial == "\r" ? ConvertedLine {} : parseConvertedLine(m_partial, unendedAt, m_formats);
    m_unended = {unended.path, {unended.when, unendedAt, LogLineHash(m_partial)}};
    m_modified = info.st_mtim;
    if (m_head.size() < kFingerprint)
        m_head = readAt(fd, 0, std::min(m_offset, kFingerprint));
    m_tail = readAt(fd, std::max<qint64>(0, m_offset - kFingerprint), std::min(m_offset, kFingerprint));
}

ConvertedRecord ConvertedIndex::lookup(const QString& pdfPath)
{
    refresh();
    Entry entry = m_entries.value(pdfPath);
    if (m_unended.entry.newest.isValid() && m_unended.path == pdfPath) {
        const QDateTime newest
            = entry.newest.isValid() && entry.newest > m_unended.entry.newest ? entry.newest : m_unended.entry.newest;
        entry = m_unended.entry;
        entry.newest = newest;
    }
    ConvertedRecord record {entry.newest, std::nullopt};
    if (entry.newest.isValid()) {
        refreshVersions();
        // Only a record made for this very line counts: a log cleared or edited since has other lines.
        const auto version = m_versions.constFind(entry.lastOffset);
        if (version != m_versions.cend() && version->lineHash == entry.lastHash)
            record.version = version->version;
    }
    return record;
}

void ConvertedIndex::refreshVersions()
{
    const QString path = LogVersionsPath(m_logPath);
    struct stat info = {};
    if (::lstat(NativeName(path).constData(), &info) != 0) {
        m_versions.clear();
        m_versionsRead = 0;
        m_versionsUnreadable = false;
        return;
    }
    if (info.st_ino != m_versionsInode || info.st_size < m_versionsRead) {
        m_versions.clear();
        m_versionsRead = 0;
        m_versionsInode = info.st_ino;
    }
    if (info.st_size == m_versionsRead)
        return;
    int fd = -1;
    try {
        fd = OpenPrivateFile(path, O_RDONLY);
        m_versionsUnreadable = false;
    } catch (const RuntimeError&) {
        m_versionsUnreadable = true; // not the program's own, or not a file: not trusted
        return;
    }
    const QByteArray bytes = readAt(fd, m_versionsRead, info.st_size - m_versionsRead);
    ::close(fd);
    // Whole records only: one being written is read when it is complete.
    const qsizetype end = bytes.lastIndexOf('\n') + 1;
    for (const QByteArray& line : bytes.first(end).split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 4)
            continue;
        bool ok[4] = {};
        const qint64 offset = fields[0].toLongLong(&ok[0]);
        const Version version {fields[1].toULongLong(&ok[1], 16),
                               {fields[2].toLongLong(&ok[2]), fields[3].toLongLong(&ok[3])}};
        if (ok[0] && ok[1] && ok[2] && ok[3])
            m_versions.insert(offset, version);
    }
    m_versionsRead += end;
}

namespace {

constexpr quint32 kIndexMagic = 0x51494458; // "QIDX"
constexpr quint32 kIndexFormat = 4; // 4: ends with a checksum

} // namespace

void ConvertedIndex::save()
{
    // An index that is behind still serves (what follows it is read at the start), so it is written
    // again only when converted lines came in, or when what follows it grew past a quick read: not at
    // every pass, which only appends skipped lines.
    constexpr qint64 kQuickRead = 8 << 20;
    const bool behind = m_savedOffset < 0 || m_offset - m_savedOffset > kQuickRead;
    if (m_offset < 0 || m_offset == m_savedOffset || (!m_changedSinceSave && !behind))
        return;
    qint64 birth = 0;
    try {
        const int fd = OpenPrivateFile(m_logPath, O_RDONLY);
        struct stat info = {};
        const bool same = ::fstat(fd, &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode;
        birth = birthOf(fd);
        ::close(fd);
        if (!same)
            return; // the log changed under the index since it was read: the next start reads it
    } catch (const RuntimeError&) {
        return;
    }
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << kIndexMagic << kIndexFormat << static_cast<quint64>(m_device) << static_cast<quint64>(m_inode) << birth
            << m_offset << m_head << m_tail << m_partial << m_overlong << static_cast<qint64>(m_entries.size());
        for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
            out << it.key() << it->newest.toMSecsSinceEpoch() << it->lastOffset << it->lastHash;
    }
    // A checksum at the end tells a whole index from one a crash left torn.
    {
        QDataStream out(&bytes, QIODevice::Append);
        out << LogLineHash(bytes);
    }
    try {
        ReplacePrivateFile(LogIndexPath(m_logPath), bytes);
        m_savedOffset = m_offset;
        m_changedSinceSave = false;
    } catch (const RuntimeError&) {
        // The next start reads the whole log instead.
    }
}

bool ConvertedIndex::load(int fd, qint64 size)
{
    QByteArray bytes;
    try {
        const int saved = OpenPrivateFile(LogIndexPath(m_logPath), O_RDONLY);
        QFile file;
        if (file.open(saved, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            bytes = file.readAll();
    } catch (const RuntimeError&) {
        return false;
    }
    if (bytes.size() < 8)
        return false;
    quint64 checksum = 0;
    QDataStream(bytes.right(8)) >> checksum;
    bytes.chop(8);
    if (checksum != LogLineHash(bytes))
        return false;
    QDataStream in(bytes);
    quint32 magic = 0;
    quint32 format = 0;
    qint64 offset = -1;
    QByteArray head, tail, partial;
    bool overlong = false;
    qint64 count = 0;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 birth = 0;
    in >> magic >> format >> device >> inode >> birth >> offset >> head >> tail >> partial >> overlong >> count;
    if (in.status() != QDataStream::Ok || magic != kIndexMagic || format != kIndexFormat || offset < 0 || count < 0)
        return false;
    // The log must still be the file the index was made from (an editor saves a new one), and hold what
    // it was made from at its start and where the index ends.
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || info.st_dev != device || info.st_ino != inode || birthOf(fd) != birth)
        return false;
    if (size < offset || readAt(fd, 0, head.size()) != head || readAt(fd, offset - tail.size(), tail.size()) != tail)
        return false;
    QHash<QString, Entry> entries;
    entries.reserve(count);
    for (qint64 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        QString path;
        qint64 newestMs = 0;
        Entry entry;
        in >> path >> newestMs >> entry.lastOffset >> entry.lastHash;
        entry.newest = QDateTime::fromMSecsSinceEpoch(newestMs);
        entries.insert(path, entry);
    }
    if (in.status() != QDataStream::Ok)
        return false;
    m_entries = std::move(entries);
    m_offset = m_savedOffset = offset;
    m_changedSinceSave = false;
    m_head = head;
    m_tail = tail;
    m_partial = partial;
    m_overlong = overlong;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    m_birth = birth;
    return true;
}

QDateTime ConvertedIndex::newestConvertedByFullRead(const QString& logPath, const QString& pdfPath)
{
    QFile log(logPath);
    if (!log.exists())
        return {};
    if (!log.open(QIODevice::ReadOnly))
        throw RuntimeError(ErrorNumber::PermissionDenied);
    const std::vector<LogDateFormat> formats = ReadLogDateFormats(logPath, log.handle());
    const QByteArray bytes = log.readAll();
    QDateTime newest;
    const auto take = [&](QByteArrayView raw) {
        const ConvertedLine line = parseConvertedLine(raw, raw.data() - bytes.constData(), formats);
        if (line.when.isValid() && line.path == pdfPath && (!newest.isValid() || line.when > newest))
            newest = line.when;
    };
    const QByteArray rest = forEachLine(bytes, take);
    if (rest != "\r")
        take(QByteArrayView(bytes).last(rest.size()));
    return newest;
}

} // namespace quarnel
