#include "conversion/ConvertedIndex.h"

#include "conversion/ConversionLog.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"

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

} // namespace

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
    m_partial = forEachLine(pending, [&](QByteArrayView raw) {
        const ConvertedLine line = parseConvertedLine(raw, start + (raw.data() - pending.constData()), m_formats);
        if (!line.when.isValid())
            return;
        QDateTime& newest = m_entries[line.path];
        if (!newest.isValid() || line.when > newest)
            newest = line.when;
    });
    if (m_partial.size() > kLongestLine) {
        m_partial.clear();
        m_overlong = true;
    }
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
    m_head.clear();
    m_tail.clear();
    struct stat info = {};
    if (::fstat(fd, &info) == 0) {
        m_device = info.st_dev;
        m_inode = info.st_ino;
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
    const bool sameIdentity = m_offset >= 0 && info.st_dev == m_device && info.st_ino == m_inode;
    if (sameIdentity && size == m_offset && info.st_mtim.tv_sec == m_modified.tv_sec
        && info.st_mtim.tv_nsec == m_modified.tv_nsec)
        return;
    if (!sameIdentity || !stillSameFile(fd, size))
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
    const ConvertedLine unended
        = m_partial == "\r" ? ConvertedLine {} : parseConvertedLine(m_partial, m_offset - m_partial.size(), m_formats);
    m_unended = {unended.path, unended.when};
    m_modified = info.st_mtim;
    if (m_head.size() < kFingerprint)
        m_head = readAt(fd, 0, std::min(m_offset, kFingerprint));
    m_tail = readAt(fd, std::max<qint64>(0, m_offset - kFingerprint), std::min(m_offset, kFingerprint));
}

QDateTime ConvertedIndex::newestConverted(const QString& pdfPath)
{
    refresh();
    const QDateTime logged = m_entries.value(pdfPath);
    if (m_unended.when.isValid() && m_unended.path == pdfPath && (!logged.isValid() || m_unended.when > logged))
        return m_unended.when;
    return logged;
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
