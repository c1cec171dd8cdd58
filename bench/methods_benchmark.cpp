// Converts real multi-page PDFs at 300 dpi and JPEG quality 85: with Ghostscript and pdftoppm run
// directly, and through whole conversion passes with each of the program's methods. Prints pages per
// second, the ratios, the renderer's peak memory and the longest time the event loop went without a
// turn during each pass.
//   methods_benchmark [FOLDER-OF-PDFS]   (default: the repository's tests/data/pdfs)
#include "BenchSupport.h"
#include "EventLoopGaps.h"
#include "conversion/Automation.h"
#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "conversion/RenderClient.h"
#include "core/FileProcedures.h"
#include "core/ProcessLaunch.h"
#include "core/Services.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace {

const double kDpi = 300;
const int kQuality = 85;

class Window final : public quarnel::PassInputs
{
public:
    int folderRowCount() const override { return 1; }
    QString folderRow(int) const override { return folder; }
    bool saveToFolder() const override { return true; }
    bool saveBesideOriginal() const override { return false; }
    QString outputFolder() const override { return output; }
    void setBusy(bool) override { }
    void setProgress(int, const QString&) override { }
    QString folder;
    QString output;
};

class Options final : public quarnel::MethodOptions
{
public:
    quarnel::Method selectedMethod() const override { return method; }
    bool firstPageOnly() const override { return false; }
    int quality() const override { return kQuality; }
    QString pagesText() const override { return pages; }
    QString resolutionText() const override { return QStringLiteral("300"); }
    quarnel::Method method = quarnel::Method::Ghostscript;
    QString pages;
};

qint64 peakKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toLongLong();
    return -1;
}

int countJpegs(const QString& folder)
{
    return static_cast<int>(QDir(folder).entryList({QStringLiteral("*.jpg")}, QDir::Files).size());
}

struct Run
{
    double seconds = 0;
    int pages = 0;
    qint64 longestGapMs = -1;
    double pagesPerSecond() const { return seconds > 0 ? pages / seconds : 0; }
};

Run runTool(const QString& program, const std::function<QStringList(const QString& pdf, const QString& out)>& arguments,
            const QStringList& pdfs)
{
    QTemporaryDir out;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < pdfs.size(); ++i) {
        const QString folder = out.filePath(QString::number(i));
        QDir().mkpath(folder);
        QProcess::execute(program, arguments(pdfs[i], folder));
    }
    Run run;
    run.seconds = clock.nsecsElapsed() / 1e9;
    for (int i = 0; i < pdfs.size(); ++i)
        run.pages += countJpegs(out.filePath(QString::number(i)));
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString source
        = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(QUARNEL_SOURCE_DIR "/tests/data/pdfs");
    QStringList pdfs;
    for (const QString& name : QDir(source).entryList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Name))
        pdfs.append(QDir(source).filePath(name));
    if (pdfs.isEmpty()) {
        std::printf("no PDFs in %s\n", qPrintable(source));
        return 1;
    }
    const QString bin = QStringLiteral(QUARNEL_BIN_DIR);
    std::printf("%lld PDFs from %s, %g dpi, quality %d, %d cores\n", static_cast<long long>(pdfs.size()),
                qPrintable(source), kDpi, kQuality, QThread::idealThreadCount());

    const Run gs = runTool(
        QStringLiteral("gs"),
        [](const QString& pdf, const QString& out) {
            return QStringList {"-q",
                                "-dBATCH",
                                "-dNOPAUSE",
                                "-dSAFER",
                                "-sDEVICE=jpeg",
                                QStringLiteral("-dJPEGQ=%1").arg(kQuality),
                                QStringLiteral("-r%1").arg(kDpi),
                                "-sOutputFile=" + out + "/p-%03d.jpg",
                                pdf};
        },
        pdfs);
    const Run poppler = runTool(
        QStringLiteral("pdftoppm"),
        [](const QString& pdf, const QString& out) {
            return QStringList {
                "-jpeg", "-jpegopt", QStringLiteral("quality=%1").arg(kQuality), "-r", QString::number(kDpi),
                pdf,     out + "/p"};
        },
        pdfs);
    std::printf("gs directly:        %4d pages in %6.2f s = %6.2f pages/s\n", gs.pages, gs.seconds,
                gs.pagesPerSecond());
    std::printf("pdftoppm directly:  %4d pages in %6.2f s = %6.2f pages/s\n", poppler.pages, poppler.seconds,
                poppler.pagesPerSecond());

    PrintedBoxes boxes;
    WallClock clock;
    Options options;
    quarnel::SystemLauncher launcher(bin);
    quarnel::RenderClient renderer(bin + QStringLiteral("/quarnel-render"));
    quarnel::StandInAutomation automation(renderer);
    quarnel::BatchFileMethod ghostscript(quarnel::BatchFileMethod::Kind::Ghostscript, options, launcher, boxes, bin);
    quarnel::AcrobatMethod acrobat(automation, boxes);
    quarnel::GflAxMethod gflax(automation, options, boxes);

    const auto throughPass = [&](quarnel::Method method, quarnel::ConversionMethod& implementation) {
        QTemporaryDir temp, out;
        qputenv("TEMP", temp.path().toUtf8());
        Window window;
        window.output = out.path();
        options.method = method;
        quarnel::ConversionPass pass(window, options, boxes, clock, temp.filePath(QStringLiteral("DEV2IVI.log")));
        pass.setMethod(method, &implementation);
        EventLoopGaps gaps;
        Run run;
        QElapsedTimer timer;
        // One folder per PDF, so that the imaging method can be asked for exactly its page count.
        for (const QString& pdf : pdfs) {
            QTemporaryDir folder;
            const QString copy = folder.filePath(QFileInfo(pdf).fileName());
            QFile::copy(pdf, copy);
            // A copy that has settled, as a PDF a watched folder received a while ago: the pass leaves
            // one written within the last seconds for a later pass.
            QFile settled(copy);
            if (settled.open(QIODevice::ReadWrite))
                settled.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
            window.folder = folder.path();
            options.pages = QString::number(renderer.pageCount(pdf));
            gaps.start();
            timer.start();
            pass.ConvertPDFs(true);
            run.seconds += timer.nsecsElapsed() / 1e9;
            gaps.stop();
            run.longestGapMs = std::max(run.longestGapMs, gaps.longestMs());
        }
        run.pages = countJpegs(out.path());
        return run;
    };

    const Run passGs = throughPass(quarnel::Method::Ghostscript, ghostscript);
    const Run passGflax = throughPass(quarnel::Method::GflAx, gflax);
    const Run passAcrobat = throughPass(quarnel::Method::Acrobat, acrobat);
    const auto line = [&](const char* name, const Run& run) {
        std::printf(
            "%-19s %4d pages in %6.2f s = %6.2f pages/s; %.2f x gs, %.2f x pdftoppm; longest event-loop gap %lld ms\n",
            name, run.pages, run.seconds, run.pagesPerSecond(), run.pagesPerSecond() / gs.pagesPerSecond(),
            run.pagesPerSecond() / poppler.pagesPerSecond(), static_cast<long long>(run.longestGapMs));
    };
    line("pass, Ghostscript:", passGs);
    line("pass, GflAx:", passGflax);
    line("pass, Acrobat:", passAcrobat);
    std::printf(
        "targets: Ghostscript pass >= 0.9 x gs: %s; GflAx and Acrobat passes >= 2 x pdftoppm and >= 1.3 x gs: %s\n",
        passGs.pagesPerSecond() >= 0.9 * gs.pagesPerSecond() ? "met" : "NOT met",
        std::min(passGflax.pagesPerSecond(), passAcrobat.pagesPerSecond())
                >= std::max(2 * poppler.pagesPerSecond(), 1.3 * gs.pagesPerSecond())
            ? "met"
            : "NOT met");
    const qint64 workerPeak = peakKiB(renderer.workerProcessId());
    std::printf("peak memory: renderer %.1f MB, program %.1f MB (target < 300 MB)\n", workerPeak / 1024.0,
                peakKiB(QCoreApplication::applicationPid()) / 1024.0);
    std::printf(
        "event loop: longest gap %lld ms over all passes (target < 100 ms)\n",
        static_cast<long long>(std::max({passGs.longestGapMs, passGflax.longestGapMs, passAcrobat.longestGapMs})));
    return 0;
}
