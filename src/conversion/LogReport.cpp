#include "conversion/LogReport.h"

#include "core/Paths.h"
#include "core/RuntimeError.h"

#include <QFile>
#include <QHash>
#include <algorithm>
#include <vector>

namespace quarnel {

namespace {

using Kind = LoggedKind;

struct PdfLine
{
    Kind kind = Kind::Other;
    QByteArray when;
    QByteArray path; // as the log writes it
};

PdfLine parse(QByteArrayView line)
{
    static const QByteArrayView separator(" : ");
    static const std::pair<QByteArrayView, Kind> kinds[] = {{"Converted ", Kind::Converted},
                                                            {"Could not create JPG on ", Kind::Failed},
                                                            {"No new files or changes to convert ", Kind::Skipped}};
    const qsizetype mark = line.indexOf(separator);
    if (mark <= 0)
        return {};
    const QByteArrayView rest = line.sliced(mark + separator.size());
    for (const auto& [prefix, kind] : kinds)
        if (rest.startsWith(prefix))
            return {kind, line.first(mark).toByteArray(), rest.sliced(prefix.size()).toByteArray()};
    return {};
}

QByteArrayView withoutLineEnd(QByteArrayView line)
{
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
        line.chop(1);
    return line;
}

// False when there is no log; a run-time error when it cannot be opened.
bool openLog(QFile& file)
{
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly))
        throw RuntimeError(file.error() == QFileDevice::PermissionsError ? ErrorNumber::PermissionDenied
                                                                         : ErrorNumber::DeviceIoError);
    return true;
}

} // namespace

LoggedKind KindOfLogLine(const QString& line, QString* pdfPath)
{
    const PdfLine pdf = parse(line.toUtf8());
    if (pdfPath)
        *pdfPath = QString::fromUtf8(pdf.path);
    return pdf.kind;
}

QStringList NewestFailures(const QString& logPath)
{
    QFile file(logPath);
    if (!openLog(file))
        return {};
    // Each PDF's newest line; the failures among them, in the order the log wrote them.
    QHash<QByteArray, std::pair<qint64, QByteArray>> newest; // path: line number, failed line or empty
    qint64 number = 0;
    while (!file.atEnd()) {
        const QByteArray raw = file.readLine();
        const QByteArrayView line = withoutLineEnd(raw);
        const PdfLine pdf = parse(line);
        ++number;
        if (pdf.kind == Kind::Other)
            continue;
        newest[pdf.path] = {number, pdf.kind == Kind::Failed ? line.toByteArray() : QByteArray()};
    }
    if (file.error() != QFileDevice::NoError)
        throw RuntimeError(ErrorNumber::DeviceIoError);
    std::vector<std::pair<qint64, QByteArray>> failed;
    for (const auto& [number, line] : std::as_const(newest))
        if (!line.isEmpty())
            failed.emplace_back(number, line);
    std::sort(failed.begin(), failed.end());
    QStringList lines;
    for (const auto& entry : failed)
        lines.append(NameFromNative(entry.second));
    return lines;
}

std::optional<LoggedPass> LastLoggedPass(const QString& logPath)
{
    QFile file(logPath);
    if (!openLog(file))
        return std::nullopt;
    // Read backwards a block at a time: the log may be large, the last pass is at its end.
    constexpr qint64 kBlock = 1 << 20;
    LoggedPass pass;
    QHash<QByteArray, bool> seen;
    QByteArray carry; // the start of a line whose beginning is in an earlier block
    qint64 position = file.size();
    bool any = false;
    const auto take = [&](QByteArrayView line) {
        line = withoutLineEnd(line);
        if (line.isEmpty())
            return true;
        const PdfLine pdf = parse(line);
        if (pdf.kind == Kind::Other || seen.contains(pdf.path))
            return false;
        seen.insert(pdf.path, true);
        if (!any)
            pass.end = QString::fromUtf8(pdf.when);
        any = true;
        pass.start = QString::fromUtf8(pdf.when);
        if (pdf.kind == Kind::Converted)
            ++pass.converted;
        else if (pdf.kind == Kind::Skipped)
            ++pass.skipped;
        else {
            ++pass.failed;
            pass.failures.prepend(NameFromNative(line.toByteArray()));
        }
        return true;
    };
    for (;;) {
        const qint64 start = std::max<qint64>(0, position - kBlock);
        if (!file.seek(start))
            throw RuntimeError(ErrorNumber::DeviceIoError);
        QByteArray block = file.read(position - start);
        if (block.size() != position - start)
            throw RuntimeError(ErrorNumber::DeviceIoError);
        block += carry;
        position = start;
        // Lines end with LF; every complete line of the block, last first.
        qsizetype end = block.size();
        for (qsizetype i = block.size() - 1; i >= 0; --i) {
            if (block[i] != '\n' || i + 1 == end)
                continue;
            if (!take(QByteArrayView(block).sliced(i + 1, end - i - 1)))
                return any ? std::optional(pass) : std::nullopt;
            end = i + 1;
        }
        carry = block.first(end);
        if (position == 0) {
            take(carry);
            break;
        }
    }
    return any ? std::optional(pass) : std::nullopt;
}

} // namespace quarnel
