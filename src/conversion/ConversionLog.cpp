#include "conversion/ConversionLog.h"

#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
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

QString LogDateTimeFormat(const QLocale& locale)
{
    QString time = withoutTimeZone(locale.timeFormat(QLocale::LongFormat));
    if (!time.contains(u's'))
        time += QStringLiteral(":ss");
    return withFourDigitYear(locale.dateFormat(QLocale::ShortFormat)) + u' ' + time;
}

QString LogDateTimeText(const QDateTime& when, const QLocale& locale)
{
    return locale.toString(when, LogDateTimeFormat(locale));
}

QDateTime ParseLogDateTime(const QString& text, const QLocale& locale)
{
    return locale.toDateTime(text, LogDateTimeFormat(locale));
}

QString LogPathText(const QString& pdfPath)
{
    QString text = pdfPath;
    text.replace(u'\r', QChar(0x240D)).replace(u'\n', QChar(0x240A));
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

void AppendStringFSO(const QString& text, const QString& path, qint32 mode, MessageBoxes& messages)
{
    GuardedProcedure guard(Location::AppendStringFSO, messages);
    int fd = -1;
    guard.step(100, [&] {
        // Never through a link, and never into a file another account could have planted or can write.
        fd = OpenPrivateFile(path, O_WRONLY | O_CREAT | (mode > 1 ? O_APPEND : 0));
        if (mode <= 1 && ::ftruncate(fd, 0) != 0) {
            const int error = errno;
            ::close(fd);
            fd = -1;
            throw RuntimeError::fromErrno(error);
        }
    });
    // Without an open stream there is nothing to write or close: one report for the lost line is enough.
    if (fd < 0)
        return;
    guard.step(102, [&] {
        // One write call, so that a line appended by another copy of the program is never interleaved.
        const QByteArray bytes = (text + QStringLiteral("\r\n")).toLocal8Bit();
        ssize_t n;
        do {
            n = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            throw RuntimeError::fromErrno(errno);
        if (n != bytes.size())
            throw RuntimeError(ErrorNumber::DiskFull);
    });
    guard.step(104, [&] {
        if (::close(fd) != 0)
            throw RuntimeError::fromErrno(errno);
    });
}

} // namespace quarnel
