#pragma once

#include <QDateTime>
#include <QString>

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

// A PDF path as the log writes it: a line end inside a file name would split the line (and the PDF
// would never count as converted), so CR and LF are written as the symbols for them.
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
void AppendStringFSO(const QString& text, const QString& path, qint32 mode, MessageBoxes& messages);

} // namespace quarnel
