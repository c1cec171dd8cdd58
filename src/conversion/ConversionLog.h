#pragma once

#include <QDateTime>
#include <QString>
#include <functional>
#include <vector>

namespace quarnel {

class MessageBoxes;

// The log's file name in the temporary folder.
inline constexpr auto kLogFileName = "DEV2IVI.log";

// The path of the conversion log: the temporary folder and the log's file name.
QString DefaultLogFilePath();

// The format of the log's date and time: the locale's short date (with a four-digit year, so it reads
// back unambiguously), a blank, and the locale's time with seconds but without a time zone.
QString LogDateTimeFormat(const QLocale& locale);
QString LogDateTimeText(const QDateTime& when, const QLocale& locale);
// Reads back a date and time written by LogDateTimeText; invalid when the text is not one.
QDateTime ParseLogDateTime(const QString& text, const QLocale& locale);

// The regional format the log's dates are written in, from one byte of the log on. The program keeps
// these records beside the log, so that a log written under other regional settings reads back exactly.
struct LogDateFormat
{
    qint64 offset = 0; // where the first line written in this format starts
    quint64 lineHash = 0; // of that line, to tell whether the log still holds it
    QString localeName;
    QString format;
};
QString LogDateFormatsPath(const QString& logPath);
// The records that still describe the log open as logFd (for reading), by offset.
std::vector<LogDateFormat> ReadLogDateFormats(const QString& logPath, int logFd);
// The date and time of a line that starts at this offset of the log: read in the format recorded for it,
// otherwise in the current regional format, then in other common ones; invalid when none reads it.
QDateTime ParseLogDate(const QString& text, qint64 offset, const std::vector<LogDateFormat>& formats);
quint64 LogLineHash(QByteArrayView line);

// A PDF path as the log writes it: a line end inside a file name would split the line (and the PDF
// would never count as converted), so CR and LF are written as the symbols for them (U+240D, U+240A);
// those symbols and the symbol for escape (U+241B) in a name are written after an escape symbol, so that
// each name has a text of its own. Names without any of them are written as they are.
QString LogPathText(const QString& pdfPath);

// The texts of the log's lines; PDF paths go through LogPathText.
namespace LogLine {
QString started(const QString& when);
QString noFolders(const QString& when);
QString noOutputFolder(const QString& when);
QString skipped(const QString& when, const QString& pdfPath);
QString converted(const QString& when, const QString& pdfPath);
QString failed(const QString& when, const QString& pdfPath);
} // namespace LogLine

// Makes sure a line can be appended to the log now (it is the program's own file, it opens for
// appending, and the disk has room); a run-time error otherwise. Creates an empty log when missing.
void CheckLogAppendable(const QString& path);

// Writes the text and CR LF to the file: appending when mode is above 1, replacing otherwise; the file
// is created when missing. A failing step is reported and the line is lost; the caller is not told.
// `beforeWrite`, when given, is told where the line will start and its bytes, just before it is written.
void AppendStringFSO(const QString& text, const QString& path, qint32 mode, MessageBoxes& messages,
                     const std::function<void(qint64 offset, QByteArrayView line)>& beforeWrite = {});

// Where one line of the log starts, and its bytes without the line end.
struct LineAt
{
    qint64 offset;
    QByteArray line;
};
// Appends the lines to the log in one write, each with CR LF; with `durable`, syncs the log so that they
// survive a power cut. Failures are reported as AppendStringFSO reports them. `beforeWrite` is told where
// each line will start, just before they are written. True when every line is in the log (and synced).
bool AppendLines(const QStringList& texts, const QString& path, MessageBoxes& messages, bool durable,
                 const std::function<void(const std::vector<LineAt>& lines)>& beforeWrite = {});

} // namespace quarnel
