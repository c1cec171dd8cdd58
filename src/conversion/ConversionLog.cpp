#include "conversion/ConversionLog.h"

#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"
#include "files/DurableFiles.h"

#include <QFile>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarnel {

QString DefaultLogFilePath()
{
    return TempFolder() + u'/' + QString::fromLatin1(kLogFileName);
}

namespace {

// Removes the time-zone field (and the blank that sets it off) from a time format, leaving quoted text.
QString withoutTimeZone(const QString& format)
{
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        result.append(c);
    }
    return result.simplified();
}

QString withFourDigitYear(const QString& format)
{
    static const QRegularExpression twoDigitYear(QStringLiteral("(?<!y)yy(?!y)"));
    QString result = format;
    return result.replace(twoDigitYear, QStringLiteral("yyyy"));
}

} // namespace

namespace {

QString logTimeFormat(const QLocale& locale)
{
    QString time = withoutTimeZone(locale.timeFormat(QLocale::LongFormat));
    if (!time.contains(u's'))
        time += QStringLiteral(":ss");
    return time;
}

QString logDateFormat(const QLocale& locale)
{
    return withFourDigitYear(locale.dateFormat(QLocale::ShortFormat));
}

// Reads a date and time in this format; at exactly midnight the date stands alone.
QDateTime readLogDate(const QLocale& locale, const QString& format, const QString& text)
{
    const QDateTime when = locale.toDateTime(text, format);
    if (when.isValid())
        return when;
    const QString time = u' ' + logTimeFormat(locale);
    if (!format.endsWith(time))
        return {};
    const QDate day = locale.toDate(text, format.chopped(time.size()));
    return day.isValid() ? QDateTime(day, QTime(0, 0)) : QDateTime();
}

} // namespace

QString LogDateTimeFormat(const QLocale& locale)
{
    return logDateFormat(locale) + u' ' + logTimeFormat(locale);
}

QString LogDateTimeText(const QDateTime& when, const QLocale& locale)
{
    // The general date format leaves a time of exactly midnight out.
    if (when.time() == QTime(0, 0))
        return locale.toString(when.date(), logDateFormat(locale));
    return locale.toString(when, LogDateTimeFormat(locale));
}

QDateTime ParseLogDateTime(const QString& text, const QLocale& locale)
{
    return readLogDate(locale, LogDateTimeFormat(locale), text);
}

quint64 LogLineHash(QByteArrayView line)
{
    quint64 hash = 14695981039346656037ULL; // FNV-1a
    for (const char c : line) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

QString LogDateFormatsPath(const QString& logPath)
{
    return logPath + QStringLiteral(".dates");
}

namespace {

// The line of the log that starts at this offset, without its line end.
QByteArray lineAt(int fd, qint64 offset)
{
    QByteArray bytes(4096, Qt::Uninitialized);
    const ssize_t n = ::pread(fd, bytes.data(), static_cast<size_t>(bytes.size()), offset);
    bytes.truncate(n > 0 ? n : 0);
    const qsizetype end = bytes.indexOf('\r') >= 0 ? bytes.indexOf('\r') : bytes.indexOf('\n');
    return end >= 0 ? bytes.left(end) : bytes;
}

std::vector<LogDateFormat> readRecords(const QString& logPath)
{
    std::vector<LogDateFormat> records;
    int fd = -1;
    try {
        fd = OpenPrivateFile(LogDateFormatsPath(logPath), O_RDONLY);
    } catch (const RuntimeError&) {
        return records; // none, or not one the program can trust
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return records;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 4)
            continue;
        bool offsetOk = false;
        bool hashOk = false;
        LogDateFormat record {fields[0].toLongLong(&offsetOk), fields[1].toULongLong(&hashOk, 16),
                              QString::fromUtf8(fields[2]), QString::fromUtf8(fields[3])};
        if (offsetOk && hashOk && record.offset >= 0 && (records.empty() || record.offset > records.back().offset))
            records.push_back(record);
    }
    return records;
}

void writeRecords(const QString& logPath, const std::vector<LogDateFormat>& records)
{
    QByteArray text;
    for (const LogDateFormat& record : records)
        text += QByteArray::number(record.offset) + '\t' + QByteArray::number(record.lineHash, 16) + '\t'
            + record.localeName.toUtf8() + '\t' + record.format.toUtf8() + '\n';
    ReplacePrivateFile(LogDateFormatsPath(logPath), text);
}

// What this process last wrote to the log, so that a line in the same format as the one before it
// costs nothing more.
struct LastWrite
{
    QString logPath;
    dev_t device = 0;
    ino_t inode = 0;
    qint64 end = -1;
    QString localeName;
    QString format;
};
LastWrite g_lastWrite;

// Records the format of the line about to be written at this offset, when it differs from the format
// of the lines before it.
void recordDateFormat(const QString& logPath, int logFd, qint64 offset, QByteArrayView line)
{
    struct stat info = {};
    if (::fstat(logFd, &info) != 0)
        return;
    const QLocale locale;
    const QString name = locale.name();
    const QString format = LogDateTimeFormat(locale);
    LastWrite& last = g_lastWrite;
    const bool sameRun = last.logPath == logPath && last.device == info.st_dev && last.inode == info.st_ino
        && last.end == offset && last.localeName == name && last.format == format;
    last = {logPath, info.st_dev, info.st_ino, offset + line.size() + 2, name, format};
    if (sameRun)
        return;
    try {
        std::vector<LogDateFormat> records = ReadLogDateFormats(logPath, logFd);
        while (!records.empty() && records.back().offset >= offset)
            records.pop_back();
        if (!records.empty() && records.back().localeName == name && records.back().format == format)
            return;
        records.push_back({offset, LogLineHash(line), name, format});
        writeRecords(logPath, records);
    } catch (const RuntimeError&) {
        // Without the record, the dates still read in the current and common formats.
    }
}

const QLocale& localeNamed(const QString& name)
{
    static QHash<QString, QLocale> locales;
    auto it = locales.find(name);
    if (it == locales.end())
        it = locales.insert(name, name == QStringLiteral("C") ? QLocale::c() : QLocale(name));
    return it.value();
}

} // namespace

std::vector<LogDateFormat> ReadLogDateFormats(const QString& logPath, int logFd)
{
    std::vector<LogDateFormat> records = readRecords(logPath);
    // A record whose line the log no longer holds (cleared, shortened, replaced) ends the valid ones.
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (LogLineHash(lineAt(logFd, records[i].offset)) != records[i].lineHash) {
            records.resize(i);
            break;
        }
    }
    return records;
}

QDateTime ParseLogDate(const QString& text, qint64 offset, const std::vector<LogDateFormat>& formats)
{
    const auto recorded = std::upper_bound(formats.begin(), formats.end(), offset,
                                           [](qint64 at, const LogDateFormat& record) { return at < record.offset; });
    if (recorded != formats.begin()) {
        const LogDateFormat& record = *std::prev(recorded);
        return readLogDate(localeNamed(record.localeName), record.format, text);
    }
    // Lines from before the program kept records: the current format, then common ones, whose dates
    // cannot be mistaken for one another.
    static QString currentName;
    static QString currentFormat;
    const QLocale current;
    if (current.name() != currentName) {
        currentName = current.name();
        currentFormat = LogDateTimeFormat(current);
    }
    QDateTime when = readLogDate(current, currentFormat, text);
    if (when.isValid())
        return when;
    static const std::vector<std::pair<QLocale, QString>> common = [] {
        std::vector<std::pair<QLocale, QString>> list;
        for (const char* name : {"C", "en_US", "en_GB", "de_DE", "fr_FR", "ja_JP"}) {
            const QLocale locale = localeNamed(QString::fromLatin1(name));
            list.emplace_back(locale, LogDateTimeFormat(locale));
        }
        return list;
    }();
    for (const auto& [locale, format] : common) {
        when = readLogDate(locale, format, text);
        if (when.isValid())
            return when;
    }
    return QDateTime::fromString(text, Qt::ISODate);
}

QString LogPathText(const QString& pdfPath)
{
    constexpr char16_t kCr = 0x240D; // the symbols for a carriage return and a line feed
    constexpr char16_t kLf = 0x240A;
    constexpr char16_t kEscape = 0x241B; // the symbol for escape: the next symbol stands for itself
    QString text;
    text.reserve(pdfPath.size());
    for (const QChar c : pdfPath) {
        if (c == u'\r')
            text.append(QChar(kCr));
        else if (c == u'\n')
            text.append(QChar(kLf));
        else if (c == QChar(kCr) || c == QChar(kLf) || c == QChar(kEscape))
            text.append(QChar(kEscape)).append(c);
        else
            text.append(c);
    }
    return text;
}

namespace LogLine {
QString started(const QString& when)
{
    return QStringLiteral("Started ") + when;
}
QString noFolders(const QString& when)
{
    return when + QStringLiteral(" : No files or folders added.");
}
QString noOutputFolder(const QString& when)
{
    return when + QStringLiteral(" : Output folder does not exist. Please select another folder.");
}
QString skipped(const QString& when, const QString& pdfPath)
{
    return when + QStringLiteral(" : No new files or changes to convert ") + LogPathText(pdfPath);
}
QString converted(const QString& when, const QString& pdfPath)
{
    return when + QStringLiteral(" : Converted ") + LogPathText(pdfPath);
}
QString failed(const QString& when, const QString& pdfPath)
{
    return when + QStringLiteral(" : Could not create JPG on ") + LogPathText(pdfPath);
}
} // namespace LogLine

void CheckLogAppendable(const QString& path)
{
    const int fd = OpenPrivateFile(path, O_WRONLY | O_CREAT | O_APPEND);
    struct stat info = {};
    int error = ::fstat(fd, &info) == 0 ? 0 : errno;
    // Room for a few lines, asked of the file system without changing the file.
    if (!error && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, info.st_size, 4096) != 0 && errno != EOPNOTSUPP
        && errno != ENOSYS)
        error = errno;
    ::close(fd);
    if (error)
        throw RuntimeError::fromErrno(error);
}

namespace {

// The log's lines appended in one write (mode above 1) or written over it: one write call, so that a line
// appended by another copy of the program is never interleaved. Names as the file system holds them, so
// that a line names its PDF even when that name is not valid UTF-8.
bool writeLines(const QStringList& texts, const QString& path, qint32 mode, bool durable, MessageBoxes& messages,
                const std::function<void(const std::vector<LineAt>& lines)>& beforeWrite)
{
    GuardedProcedure guard(Location::AppendStringFSO, messages);
    int fd = -1;
    guard.step(100, [&] {
        // Never through a link, and never into a file another account could have planted or can write.
        fd = OpenPrivateFile(path, O_RDWR | O_CREAT | (mode > 1 ? O_APPEND : 0));
        if (mode <= 1 && ::ftruncate(fd, 0) != 0) {
            const int error = errno;
            ::close(fd);
            fd = -1;
            throw RuntimeError::fromErrno(error);
        }
    });
    // Without an open stream there is nothing to write or close: one report for the lost lines is enough.
    if (fd < 0)
        return false;
    const bool written = guard.step(102, [&] {
        QByteArray bytes;
        std::vector<LineAt> lines;
        struct stat info = {};
        if (::fstat(fd, &info) != 0)
            throw RuntimeError::fromErrno(errno);
        qint64 offset = info.st_size;
        // A last line that lost its line end (saved so by a text editor) is ended first, so that these
        // lines are not glued onto it.
        char last = '\n';
        if (offset > 0 && ::pread(fd, &last, 1, offset - 1) == 1 && last != '\n' && last != '\r') {
            bytes.append("\r\n");
            offset += 2;
        }
        for (const QString& text : texts) {
            const QByteArray line = NativeName(text);
            recordDateFormat(path, fd, offset, line);
            lines.push_back({offset, line});
            bytes.append(line).append("\r\n");
            offset += line.size() + 2;
        }
        if (beforeWrite)
            beforeWrite(lines);
        ssize_t n;
        do {
            n = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            throw RuntimeError::fromErrno(errno);
        if (n != bytes.size())
            throw RuntimeError(ErrorNumber::DiskFull);
        if (durable) {
            int error = 0;
            RunServingEvents([&] { error = files::SyncData(fd); });
            if (error)
                throw RuntimeError::fromErrno(error);
        }
    });
    const bool closed = guard.step(104, [&] {
        if (::close(fd) != 0)
            throw RuntimeError::fromErrno(errno);
    });
    return written && closed;
}

} // namespace

void AppendStringFSO(const QString& text, const QString& path, qint32 mode, MessageBoxes& messages,
                     const std::function<void(qint64 offset, QByteArrayView line)>& beforeWrite)
{
    writeLines({text}, path, mode, false, messages, [&](const std::vector<LineAt>& lines) {
        if (beforeWrite)
            beforeWrite(lines.front().offset, lines.front().line);
    });
}

bool AppendLines(const QStringList& texts, const QString& path, MessageBoxes& messages, bool durable,
                 const std::function<void(const std::vector<LineAt>& lines)>& beforeWrite)
{
    return writeLines(texts, path, 2, durable, messages, beforeWrite);
}

} // namespace quarnel
