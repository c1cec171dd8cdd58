#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace quarnel {

// What the log alone tells of the PDFs, for a user asking from the command line.

// What a line of the log is about: a PDF converted, failed or skipped (its path as the log writes it),
// or something else.
enum class LoggedKind { Other, Converted, Failed, Skipped };
LoggedKind KindOfLogLine(const QString& line, QString* pdfPath = nullptr);

// The PDFs whose newest line in the log is a failure: those lines, in the order the log has them. A
// missing log has none; one that cannot be read is a run-time error.
QStringList NewestFailures(const QString& logPath);

// The last pass as the log shows it: the lines about PDFs at the log's end, back to the start line, a
// line that is about no PDF, or a PDF named a second time (each pass names each PDF once).
struct LoggedPass
{
    QString start, end; // the first and last line's time, as written
    int converted = 0, skipped = 0, failed = 0;
    QStringList failures;
};
std::optional<LoggedPass> LastLoggedPass(const QString& logPath);

} // namespace quarnel
