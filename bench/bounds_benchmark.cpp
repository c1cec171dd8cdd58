// What hostile PDFs and long use cost: the renderer's peak memory and time on a decompression bomb and
// on a 600-page document, the log's growth per day with 1,000 unchanged PDFs watched every 30 seconds,
// and the time the first pass after a start takes with a 1 GB log, with and without the saved index.
//   build/bench/bounds_benchmark [--no-big-log]
#include "BenchSupport.h"
#include "conversion/ConversionLog.h"
#include "conversion/ConversionPass.h"
#include "conversion/RenderClient.h"
#include "core/RuntimeError.h"
#include "render/RenderProtocol.h"
#include "samples/SamplePdf.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <sys/time.h>

namespace {

const QString kWorker = QStringLiteral(QUARNEL_BIN_DIR "/quarnel-render");

// Samples the peak resident memory of the client's worker, whichever worker it is at the time.
class WorkerPeak
{
public:
    explicit WorkerPeak(const quarnel::RenderClient& client)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this, &client] {
            QFile status(QStringLiteral("/proc/%1/status").arg(client.workerProcessId()));
            if (!status.open(QIODevice::ReadOnly))
                return;
            const QByteArray text = status.readAll();
            const qsizetype at = text.indexOf("VmHWM:");
            if (at >= 0)
                m_peakKb = std::max(m_peakKb, text.mid(at + 6, 20).trimmed().split(' ').front().toLongLong());
        });
        m_timer.start(20);
    }
    double megabytes() const { return m_peakKb / 1024.0; }

private:
    QTimer m_timer;
    qint64 m_peakKb = 0;
};

struct RenderRun
{
    int pages = 0;
    int failed = 0;
    double seconds = 0;
    double peakMb = 0;
};

RenderRun renderAll(const QString& pdf, const QString& outFolder)
{
    quarnel::RenderClient client(kWorker);
    WorkerPeak peak(client);
    RenderRun run;
    QElapsedTimer clock;
    clock.start();
    try {
        run.pages = client.pageCount(pdf);
    } catch (const quarnel::RuntimeError&) {
        run.failed = 1;
    }
    for (int first = 0; first < run.pages; first += 32) {
        for (int page = first; page < std::min(run.pages, first + 32); ++page)
            client.submit(pdf, page, 300, 85, false, outFolder + QStringLiteral("/p%1.jpg").arg(page));
        for (const auto& [id, outcome] : client.waitAll())
            run.failed += outcome.ok ? 0 : 1;
    }
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.peakMb = peak.megabytes();
    return run;
}

void rendererFigures(const QTemporaryDir& dir)
{
    std::printf("renderer (budget %zu MiB for MuPDF, worker target under 1024 MiB):\n",
                quarnel::render::kRendererMemoryBytes >> 20);
    const auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        return file.fileName();
    };
    std::vector<quarnel::samples::SamplePage> pages(600);
    for (std::size_t i = 0; i < pages.size(); ++i)
        pages[i].title = QStringLiteral("Page %1").arg(i + 1);
    const struct
    {
        const char* what;
        QString path;
    } cases[] = {
        {"bomb, 1 page (7 KB inflating to 2 GB)",
         write(QStringLiteral("bomb1.pdf"), quarnel::samples::MakeDecompressionBomb(1, 2000000000))},
        {"bomb, 4 pages", write(QStringLiteral("bomb4.pdf"), quarnel::samples::MakeDecompressionBomb(4, 2000000000))},
        {"600-page document", write(QStringLiteral("long.pdf"), quarnel::samples::MakeSamplePdf(pages))},
    };
    for (const auto& [what, path] : cases) {
        const QString out = dir.filePath(QStringLiteral("out"));
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        const RenderRun run = renderAll(path, out);
        std::printf("  %-40s %4d pages, %4d failed, %6.1f s, peak %6.0f MiB%s\n", what, run.pages, run.failed,
                    run.seconds, run.peakMb, run.peakMb < 1024 ? "" : "  OVER BUDGET");
    }
}

class Folder final : public quarnel::PassInputs
{
public:
    explicit Folder(QString path, QString output)
        : m_path(std::move(path))
        , m_output(std::move(output))
    { }
    int folderRowCount() const override { return 1; }
    QString folderRow(int) const override { return m_path; }
    bool saveToFolder() const override { return true; }
    bool saveBesideOriginal() const override { return false; }
    QString outputFolder() const override { return m_output; }
    void setBusy(bool) override { }
    void setProgress(int, const QString&) override { }
    quarnel::IgnoreList ignoreList() const override { return {}; }
    bool logSkipped() const override { return true; }
    void addNewSubfolders() override { }

private:
    QString m_path;
    QString m_output;
};

class Options final : public quarnel::MethodOptions
{
public:
    quarnel::Method selectedMethod() const override { return quarnel::Method::Ghostscript; }
    bool firstPageOnly() const override { return false; }
    int quality() const override { return 85; }
    QString pagesText() const override { return {}; }
    QString resolutionText() const override { return {}; }
};

// Hands over one small image per PDF: the pass, not the rendering, is measured here.
class OneImage final : public quarnel::ConversionMethod
{
public:
    bool Convert(const QString& pdfPath, const QString& stagingFolder) override
    {
        ++conversions;
        QFile image(stagingFolder + u'/' + QFileInfo(pdfPath).completeBaseName() + QStringLiteral(".jpg"));
        return image.open(QIODevice::WriteOnly) && image.write("jpeg") == 4;
    }
    int conversions = 0;
};

void logFigures(const QTemporaryDir& dir, bool bigLog)
{
    constexpr int kPdfs = 1000;
    constexpr int kPasses = 20;
    constexpr int kPassesPerDay = 24 * 3600 / 30;
    const QString folder = dir.filePath(QStringLiteral("watched"));
    const QString output = dir.filePath(QStringLiteral("images"));
    QDir().mkpath(folder);
    QDir().mkpath(output);
    const qint64 old = QDateTime::currentSecsSinceEpoch() - 3600;
    const struct timeval times[2] = {{old, 0}, {old, 0}};
    for (int i = 0; i < kPdfs; ++i) {
        const QString path = folder + QStringLiteral("/scan %1.pdf").arg(i, 4, 10, QChar(u'0'));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write("%PDF-1.4\n");
        file.close();
        ::utimes(QFile::encodeName(path).constData(), times);
    }
    qputenv("TEMP", dir.path().toUtf8());
    PrintedBoxes boxes;
    WallClock clock;
    Folder inputs(folder, output);
    Options options;
    OneImage method;
    const QString logPath = dir.filePath(QStringLiteral("DEV2IVI.log"));
    {
        quarnel::ConversionPass pass(inputs, options, boxes, clock, logPath);
        pass.setMethod(quarnel::Method::Ghostscript, &method);
        pass.ConvertPDFs(true);
        pass.ConvertPDFs(true);
        const qint64 afterSecond = QFileInfo(logPath).size();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kPasses; ++i)
            pass.ConvertPDFs(true);
        const double passMs = timer.nsecsElapsed() / 1e6 / kPasses;
        const qint64 growth = QFileInfo(logPath).size() - afterSecond;
        std::printf("log with %d unchanged PDFs, a pass every 30 s: %lld bytes over %d passes, %.0f bytes a day "
                    "(one line a PDF a pass); a pass takes %.1f ms\n",
                    kPdfs, static_cast<long long>(growth), kPasses,
                    static_cast<double>(growth) / kPasses * kPassesPerDay, passMs);
    }
    if (!bigLog)
        return;
    // A "No new files" line for every PDF at every pass: a few days of them.
    QFile::remove(logPath);
    QFile::remove(quarnel::LogDateFormatsPath(logPath));
    {
        QFile log(logPath);
        log.open(QIODevice::WriteOnly);
        const QString when = quarnel::LogDateTimeText(QDateTime::fromSecsSinceEpoch(old + 60), QLocale());
        QByteArray pass;
        for (int i = 0; i < kPdfs; ++i)
            pass
                += quarnel::LogLine::converted(when, folder + QStringLiteral("/scan %1.pdf").arg(i, 4, 10, QChar(u'0')))
                       .toUtf8()
                + "\r\n";
        log.write(pass);
        QByteArray skips;
        for (int i = 0; i < kPdfs; ++i)
            skips += quarnel::LogLine::skipped(when, folder + QStringLiteral("/scan %1.pdf").arg(i, 4, 10, QChar(u'0')))
                         .toUtf8()
                + "\r\n";
        while (log.size() < (1LL << 30))
            log.write(skips);
    }
    // The first pass after a start: without a saved index the whole log is read; with the index the
    // previous run saved, only what was appended since.
    QFile::remove(quarnel::LogIndexPath(logPath));
    for (const char* kind : {"index missing", "index current"}) {
        quarnel::ConversionPass pass(inputs, options, boxes, clock, logPath);
        pass.setMethod(quarnel::Method::Ghostscript, &method);
        const int before = method.conversions;
        QElapsedTimer timer;
        timer.start();
        pass.ConvertPDFs(true);
        std::printf("first pass after a start, %d unchanged PDFs, %.2f GB log, %s: %.2f s (%d converted)\n", kPdfs,
                    QFileInfo(logPath).size() / 1e9, kind, timer.nsecsElapsed() / 1e9, method.conversions - before);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool bigLog = !QCoreApplication::arguments().contains(QStringLiteral("--no-big-log"));
    QTemporaryDir dir;
    rendererFigures(dir);
    logFigures(dir, bigLog);
    return 0;
}
