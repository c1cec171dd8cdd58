// The skip check of a pass over 10,000 unchanged PDFs with a log of 100,000 lines: the converted
// index against re-reading the whole log for every PDF, as the first version of the program did.
// Prints both figures and their ratio (targets: at least 100 times faster, and under 1 second).
#include "BenchSupport.h"
#include "conversion/ConversionLog.h"
#include "conversion/ConversionPass.h"
#include "core/Services.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/time.h>

namespace {

constexpr int kPdfs = 10000;
constexpr int kLogLines = 100000;
constexpr int kNaiveSample = 200;

class NoWindow final : public quarnel::PassInputs
{
public:
    int folderRowCount() const override { return 0; }
    QString folderRow(int) const override { return {}; }
    bool saveToFolder() const override { return false; }
    bool saveBesideOriginal() const override { return true; }
    QString outputFolder() const override { return {}; }
    void setBusy(bool) override { }
    void setProgress(int, const QString&) override { }
    quarnel::IgnoreList ignoreList() const override { return {}; }
    bool logSkipped() const override { return true; }
    void addNewSubfolders() override { }
};

class NoOptions final : public quarnel::MethodOptions
{
public:
    quarnel::Method selectedMethod() const override { return quarnel::Method::None; }
    bool firstPageOnly() const override { return false; }
    int quality() const override { return 85; }
    QString pagesText() const override { return {}; }
    QString resolutionText() const override { return {}; }
};

// The first version's check: read the log from the start until a line names the PDF as converted.
bool naivePreviousConverted(const QString& logPath, const QString& pdfPath)
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return false;
    while (!log.atEnd()) {
        const QString line = QString::fromUtf8(log.readLine());
        if (line.contains(pdfPath, Qt::CaseInsensitive)
            && line.contains(QStringLiteral(" : Converted "), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("pdfs"));
    QDir().mkpath(folder);
    const QDateTime converted = QDateTime::currentDateTime().addSecs(-3600);
    const struct timeval old[2]
        = {{converted.toSecsSinceEpoch() - 2 * kPdfs, 0}, {converted.toSecsSinceEpoch() - 2 * kPdfs, 0}};
    QStringList pdfs;
    for (int i = 0; i < kPdfs; ++i) {
        const QString path = folder + QStringLiteral("/scan %1.pdf").arg(i, 5, 10, QChar(u'0'));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write("%PDF-1.4\n");
        file.close();
        ::utimes(QFile::encodeName(path).constData(), old);
        pdfs.append(path);
    }
    // 100,000 lines: every PDF converted once, the rest skips and start lines, as years of passes leave.
    const QString logPath = dir.filePath(QStringLiteral("DEV2IVI.log"));
    {
        QFile log(logPath);
        if (!log.open(QIODevice::WriteOnly))
            return 1;
        const QString when = quarnel::LogDateTimeText(converted, QLocale::system());
        QByteArray bytes;
        for (int line = 0; line < kLogLines; ++line) {
            const QString& pdf = pdfs[line % kPdfs];
            // Conversions take seconds each, so their lines carry distinct times.
            if (line < kPdfs)
                bytes += quarnel::LogLine::converted(
                             quarnel::LogDateTimeText(converted.addSecs(line - kPdfs), QLocale::system()), pdf)
                             .toUtf8();
            else if (line % 97 == 0)
                bytes += quarnel::LogLine::started(when).toUtf8();
            else
                bytes += quarnel::LogLine::skipped(when, pdf).toUtf8();
            bytes += "\r\n";
        }
        log.write(bytes);
    }

    PrintedBoxes boxes;
    WallClock clock;
    NoWindow window;
    NoOptions options;
    quarnel::ConversionPass pass(window, options, boxes, clock, logPath);
    QElapsedTimer timer;
    timer.start();
    int skipped = pass.PreviousConverted(pdfs.front()) ? 1 : 0;
    const double firstMs = timer.nsecsElapsed() / 1e6;
    for (qsizetype i = 1; i < pdfs.size(); ++i)
        skipped += pass.PreviousConverted(pdfs[i]) ? 1 : 0;
    const double indexedMs = timer.nsecsElapsed() / 1e6;

    timer.restart();
    int naiveFound = 0;
    for (int i = 0; i < kNaiveSample; ++i)
        naiveFound += naivePreviousConverted(logPath, pdfs[i * (kPdfs / kNaiveSample)]) ? 1 : 0;
    const double naiveSampleMs = timer.nsecsElapsed() / 1e6;
    const double naiveMs = naiveSampleMs / kNaiveSample * kPdfs;

    std::printf("log: %d lines, %lld bytes; PDFs: %d unchanged\n", kLogLines,
                static_cast<long long>(QFileInfo(logPath).size()), kPdfs);
    std::printf("indexed skip check: %.1f ms for %d PDFs (%d skipped; reading the log took %.1f ms of it)\n", indexedMs,
                kPdfs, skipped, firstMs);
    std::printf("full re-read per PDF: %.1f ms for %d PDFs (measured %.1f ms on %d of them, %d found)\n", naiveMs,
                kPdfs, naiveSampleMs, kNaiveSample, naiveFound);
    std::printf("ratio: %.0f times faster (target >= 100); under 1 second: %s\n", naiveMs / indexedMs,
                indexedMs < 1000 ? "yes" : "NO");
    return skipped == kPdfs ? 0 : 1;
}
