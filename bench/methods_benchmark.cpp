// Converts real multi-page PDFs at 300 dpi and JPEG quality 85: with Ghostscript and pdftoppm run
// directly, and through whole conversion passes with each of the program's methods; then 100 one-page
// PDFs made from them, in one folder. Prints pages (or PDFs) per second, the ratios to the tools and to
// the JPEG-encode floor, the renderer's peak memory and the longest time the event loop went without a
// turn, what the Ghostscript method costs around gs itself, and whether the targets are met.
//   methods_benchmark [FOLDER-OF-PDFS]   (default: the repository's tests/data/pdfs)
#include "BenchSupport.h"
#include "EventLoopGaps.h"
#include "conversion/Automation.h"
#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "conversion/RenderClient.h"
#include "core/FileProcedures.h"
#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"
#include "core/Services.h"
#include "render/JpegWriter.h"
#include "render/RenderProtocol.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

const double kDpi = 300;
const int kQuality = 85;
// Runs taken in turns; a shared machine has slow spells long enough to spoil a run of every kind in three.
const int kRounds = 5;
// Passes with the document method in each round, each between two encodes of the floor.
const int kDocumentPasses = 3;

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
    quarnel::IgnoreList ignoreList() const override { return {}; }
    bool logSkipped() const override { return true; }
    void addNewSubfolders() override { }
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
    QString resolutionText() const override { return resolution; }
    quarnel::Method method = quarnel::Method::Ghostscript;
    QString pages;
    QString resolution = QStringLiteral("300");
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

QStringList gsArguments(const QString& pdf, const QString& out)
{
    return {"-q",
            "-dBATCH",
            "-dNOPAUSE",
            "-dSAFER",
            "-sDEVICE=jpeg",
            QStringLiteral("-dJPEGQ=%1").arg(kQuality),
            QStringLiteral("-r%1").arg(kDpi),
            "-sOutputFile=" + out + "/p-%03d.jpg",
            pdf};
}

QStringList popplerArguments(const QString& pdf, const QString& out)
{
    return {"-jpeg", "-jpegopt", QStringLiteral("quality=%1").arg(kQuality), "-r", QString::number(kDpi),
            pdf,     out + "/p"};
}

// The fastest libjpeg-turbo could go: the pages already rendered (decoded from the images of a pass), only
// encoded at quality 85, on every core; with the encoder as it comes (the floor the targets name), or with
// the program's writer, which transforms each flat block's value once (the same bytes).
class EncodeFloor
{
public:
    explicit EncodeFloor(const QString& imagesFolder)
    {
        for (const QString& name : QDir(imagesFolder).entryList({QStringLiteral("*.jpg")}, QDir::Files))
            m_pages.push_back(QImage(QDir(imagesFolder).filePath(name)).convertToFormat(QImage::Format_RGB888));
    }
    int pages() const { return static_cast<int>(m_pages.size()); }
    // Seconds to encode every page once.
    double seconds(quarnel::render::JpegWriter::Blocks blocks
                   = quarnel::render::JpegWriter::Blocks::EachTransformed) const
    {
        QTemporaryDir out;
        std::atomic<int> next {0};
        QElapsedTimer clock;
        clock.start();
        std::vector<std::thread> threads;
        for (int t = 0; t < QThread::idealThreadCount(); ++t) {
            threads.emplace_back([&] {
                for (int i = next++; i < pages(); i = next++) {
                    const QImage& page = m_pages[static_cast<std::size_t>(i)];
                    quarnel::render::JpegWriter writer(blocks);
                    std::string error;
                    const std::string path = out.filePath(QStringLiteral("%1.jpg").arg(i)).toStdString();
                    if (writer.start(path, page.width(), page.height(), 3, kQuality, 300, error))
                        writer.writeRows(page.constBits(), page.height(), page.bytesPerLine(), error)
                            && writer.finish(error);
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        return clock.nsecsElapsed() / 1e9;
    }

private:
    std::vector<QImage> m_pages;
};

// A PDF of each page of the given PDFs, up to the count, split by poppler's pdfseparate.
QStringList onePagePdfs(const QStringList& pdfs, const QString& folder, int count)
{
    QStringList result;
    for (const QString& pdf : pdfs) {
        const QString stem = QFileInfo(pdf).completeBaseName();
        QProcess split;
        split.setStandardErrorFile(QProcess::nullDevice());
        split.start(QStringLiteral("pdfseparate"), {pdf, folder + u'/' + stem + QStringLiteral("-%d.pdf")});
        split.waitForFinished(-1);
    }
    for (const QString& name : QDir(folder).entryList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Name)) {
        if (result.size() == count)
            break;
        result.append(QDir(folder).filePath(name));
    }
    // Repeated when the PDFs have fewer pages than asked for.
    for (int i = 0; result.size() < count && !result.isEmpty(); ++i) {
        const QString copy = folder + QStringLiteral("/again-%1.pdf").arg(i);
        QFile::copy(result[i], copy);
        result.append(copy);
    }
    return result;
}

struct Sets
{
    QStringList pdfs;
    bool oneFolder = false; // all in one watched folder (a scanner's output), else a folder each
};

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
    std::printf("%lld PDFs from %s, %g dpi, quality %d, %d cores; each figure the best of %d rounds (the "
                "document method and the floor: of %d runs)\n",
                static_cast<long long>(pdfs.size()), qPrintable(source), kDpi, kQuality, QThread::idealThreadCount(),
                kRounds, kRounds * kDocumentPasses);

    PrintedBoxes boxes;
    WallClock clock;
    Options options;
    quarnel::SystemLauncher launcher(bin);

    struct PassRun
    {
        Run run;
        qint64 rendererPeakKiB = -1;
        int pdfs = 0;
    };
    // Whole passes with one method, on a renderer of its own (so that its peak memory is its own). The
    // program's temporary folder (its working copies and its log) is the pass's own unless one is given.
    const auto throughPass = [&](quarnel::Method method, const QString& resolution, const QStringList& set,
                                 bool oneFolder, const QString* keepImages, const QString& programFolder = {}) {
        quarnel::RenderClient renderer(bin + QStringLiteral("/quarnel-render"));
        quarnel::StandInAutomation automation(renderer);
        quarnel::BatchFileMethod ghostscript(quarnel::BatchFileMethod::Kind::Ghostscript, options, launcher, boxes,
                                             bin);
        quarnel::AcrobatMethod acrobat(automation, boxes);
        quarnel::GflAxMethod gflax(automation, options, boxes);
        QTemporaryDir ownFolder, out;
        const QDir temp(programFolder.isEmpty() ? ownFolder.path() : programFolder);
        // The program's temporary folder for this pass only: the tools run directly must not inherit it.
        struct TempFolder
        {
            explicit TempFolder(const QString& path) { qputenv("TEMP", path.toUtf8()); }
            ~TempFolder() { qunsetenv("TEMP"); }
        } tempFolder(temp.path());
        Window window;
        window.output = out.path();
        options.method = method;
        options.resolution = resolution;
        quarnel::ConversionPass pass(window, options, boxes, clock, temp.filePath(QStringLiteral("DEV2IVI.log")));
        pass.setMethod(quarnel::Method::Ghostscript, &ghostscript);
        pass.setMethod(quarnel::Method::Acrobat, &acrobat);
        pass.setMethod(quarnel::Method::GflAx, &gflax);
        EventLoopGaps gaps;
        PassRun result;
        // Settled copies, as PDFs a watched folder received a while ago: the pass leaves one written
        // within the last seconds for a later pass.
        const auto settledCopy = [](const QString& pdf, const QString& folder) {
            const QString copy = folder + u'/' + QFileInfo(pdf).fileName();
            QFile::copy(pdf, copy);
            QFile settled(copy);
            if (settled.open(QIODevice::ReadWrite))
                settled.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
        };
        // The running program keeps its renderer's worker from pass to pass: up and ready before the pass,
        // as there. Started only, it would still be loading and setting up its renderers when the pass
        // begins; a page count, asked of a file the pass does not convert (it converts copies), waits for
        // that.
        if (method != quarnel::Method::Ghostscript) {
            try {
                renderer.pageCount(set.front());
            } catch (const quarnel::RuntimeError&) {
                // A PDF that does not open still had a worker ready to say so.
            }
        }
        const auto timed = [&] {
            QElapsedTimer timer;
            gaps.start();
            timer.start();
            pass.ConvertPDFs(true);
            result.run.seconds += timer.nsecsElapsed() / 1e9;
            gaps.stop();
            result.run.longestGapMs = std::max(result.run.longestGapMs, gaps.longestMs());
        };
        if (oneFolder) {
            QTemporaryDir folder;
            for (const QString& pdf : set)
                settledCopy(pdf, folder.path());
            window.folder = folder.path();
            options.pages = QStringLiteral("1");
            timed();
        } else {
            // One folder per PDF, so that the imaging method can be asked for exactly its page count.
            for (const QString& pdf : set) {
                QTemporaryDir folder;
                settledCopy(pdf, folder.path());
                window.folder = folder.path();
                options.pages = QString::number(renderer.pageCount(pdf));
                timed();
            }
        }
        result.run.pages = countJpegs(out.path());
        result.pdfs = static_cast<int>(set.size());
        result.rendererPeakKiB = peakKiB(renderer.workerProcessId());
        if (keepImages) {
            QDir().mkpath(*keepImages);
            for (const QString& name : QDir(out.path()).entryList({QStringLiteral("*.jpg")}, QDir::Files))
                QFile::rename(out.filePath(name), QDir(*keepImages).filePath(name));
        }
        return result;
    };

    // Ghostscript run directly and passes with the Ghostscript method, on the same PDFs in groups of a few
    // seconds' work, each group twice each way in the order gs, pass, pass, gs (the other way round in the
    // next group and in the next round), so that a slow spell of the machine, or its speed drifting, falls
    // on both alike. The figures are for the whole set once: the mean of the two runs of each group, summed.
    struct GsTurns
    {
        Run direct;
        PassRun pass;
    };
    const auto gsInTurns = [&](const QStringList& set, int groupSize, int round) {
        GsTurns turns;
        // One temporary folder for all the groups, as the running program keeps its own from pass to pass.
        const QTemporaryDir programFolder;
        // The pages and PDFs of both runs, halved at the end: a run that placed fewer shows in the figures.
        int directPages = 0;
        int passPages = 0;
        int passPdfs = 0;
        for (qsizetype first = 0; first < set.size(); first += groupSize) {
            const QStringList group = set.mid(first, groupSize);
            const auto direct = [&] {
                const Run run = runTool(QStringLiteral("gs"), gsArguments, group);
                turns.direct.seconds += run.seconds / 2;
                directPages += run.pages;
            };
            const auto pass = [&] {
                const PassRun run = throughPass(quarnel::Method::Ghostscript, QStringLiteral("300"), group, true,
                                                nullptr, programFolder.path());
                turns.pass.run.seconds += run.run.seconds / 2;
                turns.pass.run.longestGapMs = std::max(turns.pass.run.longestGapMs, run.run.longestGapMs);
                passPages += run.run.pages;
                passPdfs += run.pdfs;
            };
            if ((first / groupSize + round) % 2 == 0) {
                direct();
                pass();
                pass();
                direct();
            } else {
                pass();
                direct();
                direct();
                pass();
            }
        }
        turns.direct.pages = directPages / 2;
        turns.pass.run.pages = passPages / 2;
        turns.pass.pdfs = passPdfs / 2;
        return turns;
    };

    // Each figure is the best of a few runs, taken in turns, so that a busy moment of the machine does not
    // decide a ratio.
    const auto bestRun
        = [](Run best, const Run& run) { return run.seconds < best.seconds || best.seconds == 0 ? run : best; };
    const auto bestPass = [](PassRun best, const PassRun& run) {
        const qint64 peak = std::max(best.rendererPeakKiB, run.rendererPeakKiB);
        const qint64 gap = std::max(best.run.longestGapMs, run.run.longestGapMs);
        PassRun chosen = run.run.seconds < best.run.seconds || best.run.seconds == 0 ? run : best;
        chosen.rendererPeakKiB = peak;
        chosen.run.longestGapMs = gap;
        return chosen;
    };

    // Multi-page documents, all in one watched folder; for the imaging method, which is told a number of
    // pages, each in a folder of its own with its page count.
    Run gs, poppler;
    PassRun passGs, passAcrobat, passGflax;
    QTemporaryDir rendered;
    const QString keep = rendered.filePath(QStringLiteral("pages"));
    throughPass(quarnel::Method::Acrobat, QStringLiteral("300"), pdfs, true, &keep);
    const EncodeFloor encoder(keep);
    double floor = 0;
    double ownFloor = 0;
    // The ratios the targets name, each from runs taken one right after the other: the speed of a shared
    // machine drifts over minutes, and the best of one kind of run and the best of another may come from
    // different spells.
    std::vector<double> documentToFloor, gsPassToGs, gsSinglePassToGs, gflaxToPoppler, gflaxToDocument;
    for (int round = 0; round < kRounds; ++round) {
        // The multi-page set is one group: taken twice a round, the second time the other way round, so that
        // a round's ratio rests on several runs of each, as the one-page set's does on its four groups.
        const GsTurns viaGs = gsInTurns(pdfs, static_cast<int>(pdfs.size()), 2 * round);
        const GsTurns again = gsInTurns(pdfs, static_cast<int>(pdfs.size()), 2 * round + 1);
        gsPassToGs.push_back(
            (viaGs.pass.run.pages + again.pass.run.pages) / (viaGs.pass.run.seconds + again.pass.run.seconds)
            / ((viaGs.direct.pages + again.direct.pages) / (viaGs.direct.seconds + again.direct.seconds)));
        for (const GsTurns& turns : {viaGs, again}) {
            gs = bestRun(gs, turns.direct);
            passGs = bestPass(passGs, turns.pass);
        }
        const Run popplerRun = runTool(QStringLiteral("pdftoppm"), popplerArguments, pdfs);
        poppler = bestRun(poppler, popplerRun);
        // Passes with the document method between encodes of the floor; each pass is compared with the
        // floor measured right before and right after it, so that a drift over the pass falls on both.
        double floorBefore = encoder.seconds();
        double documentSeconds = 0;
        int documentPages = 0;
        for (int pass = 0; pass < kDocumentPasses; ++pass) {
            const PassRun viaAcrobat
                = throughPass(quarnel::Method::Acrobat, QStringLiteral("300"), pdfs, true, nullptr);
            documentSeconds += viaAcrobat.run.seconds;
            documentPages += viaAcrobat.run.pages;
            const double floorAfter = encoder.seconds();
            const double floorRate = encoder.pages() / ((floorBefore + floorAfter) / 2);
            documentToFloor.push_back(viaAcrobat.run.pagesPerSecond() / floorRate);
            passAcrobat = bestPass(passAcrobat, viaAcrobat);
            floor = std::max({floor, encoder.pages() / floorBefore, encoder.pages() / floorAfter});
            floorBefore = floorAfter;
        }
        ownFloor
            = std::max(ownFloor, encoder.pages() / encoder.seconds(quarnel::render::JpegWriter::Blocks::FlatOnesOnce));
        const PassRun viaGflax = throughPass(quarnel::Method::GflAx, QStringLiteral("288"), pdfs, false, nullptr);
        passGflax = bestPass(passGflax, viaGflax);
        gflaxToPoppler.push_back(viaGflax.run.pagesPerSecond() / popplerRun.pagesPerSecond());
        gflaxToDocument.push_back(viaGflax.run.pagesPerSecond() / (documentPages / documentSeconds));
    }
    std::printf("\nmulti-page documents: %d pages\n", gs.pages);
    std::printf("  gs directly:              %6.2f pages/s\n", gs.pagesPerSecond());
    std::printf("  pdftoppm directly:        %6.2f pages/s\n", poppler.pagesPerSecond());
    std::printf("  JPEG-encode floor:        %6.2f pages/s (the pages already rendered, encoded on every core by "
                "libjpeg-turbo as it comes)\n",
                floor);
    std::printf("  the program's own writer: %6.2f pages/s (the same, each flat block transformed once: the same "
                "bytes)\n",
                ownFloor);
    // The renderer's peak, when the method used it.
    const auto peakText = [](qint64 kib) {
        return kib < 0 ? std::string("not used") : QStringLiteral("%1 MB").arg(kib / 1024.0, 0, 'f', 0).toStdString();
    };
    const auto line = [&](const char* name, const PassRun& pass) {
        std::printf("  %-25s %6.2f pages/s; %.2f x gs, %.2f x pdftoppm, %.2f x floor, %.2f x own writer; renderer "
                    "peak %s; longest event-loop gap %lld ms\n",
                    name, pass.run.pagesPerSecond(), pass.run.pagesPerSecond() / gs.pagesPerSecond(),
                    pass.run.pagesPerSecond() / poppler.pagesPerSecond(), pass.run.pagesPerSecond() / floor,
                    pass.run.pagesPerSecond() / ownFloor, peakText(pass.rendererPeakKiB).c_str(),
                    static_cast<long long>(pass.run.longestGapMs));
    };
    line("pass, Ghostscript:", passGs);
    line("pass, Acrobat:", passAcrobat);
    line("pass, GflAx at 288 dpi:", passGflax);

    // A scanner's output: one-page PDFs in one folder.
    QTemporaryDir singles;
    const QStringList onePage = onePagePdfs(pdfs, singles.path(), 100);
    Run gsEach, popplerEach;
    PassRun singleGs, singleAcrobat, singleGflax;
    for (int round = 0; round < kRounds; ++round) {
        const GsTurns viaGs = gsInTurns(onePage, 25, round);
        gsSinglePassToGs.push_back(viaGs.pass.run.pagesPerSecond() / viaGs.direct.pagesPerSecond());
        gsEach = bestRun(gsEach, viaGs.direct);
        singleGs = bestPass(singleGs, viaGs.pass);
        popplerEach = bestRun(popplerEach, runTool(QStringLiteral("pdftoppm"), popplerArguments, onePage));
        singleAcrobat = bestPass(singleAcrobat,
                                 throughPass(quarnel::Method::Acrobat, QStringLiteral("300"), onePage, true, nullptr));
        singleGflax
            = bestPass(singleGflax, throughPass(quarnel::Method::GflAx, QStringLiteral("288"), onePage, true, nullptr));
    }
    const auto perSecond = [](int count, double seconds) { return seconds > 0 ? count / seconds : 0; };
    const double gsRate = perSecond(static_cast<int>(onePage.size()), gsEach.seconds);
    std::printf("\none-page PDFs: %lld in one folder\n", static_cast<long long>(onePage.size()));
    std::printf("  gs per file:               %6.2f PDFs/s (%d pages)\n", gsRate, gsEach.pages);
    std::printf("  pdftoppm per file:         %6.2f PDFs/s (%d pages)\n",
                perSecond(static_cast<int>(onePage.size()), popplerEach.seconds), popplerEach.pages);
    const auto single = [&](const char* name, const PassRun& pass) {
        const double rate = perSecond(pass.pdfs, pass.run.seconds);
        std::printf("  %-25s %6.2f PDFs/s (%d pages); %.2f x gs, %.2f x pdftoppm; renderer peak %s; longest "
                    "event-loop gap %lld ms\n",
                    name, rate, pass.run.pages, rate / gsRate,
                    rate / perSecond(static_cast<int>(onePage.size()), popplerEach.seconds),
                    peakText(pass.rendererPeakKiB).c_str(), static_cast<long long>(pass.run.longestGapMs));
    };
    single("pass, Ghostscript:", singleGs);
    single("pass, Acrobat:", singleAcrobat);
    single("pass, GflAx at 288 dpi:", singleGflax);

    // Of the figures taken in each round: the median, and the lowest and highest.
    const auto spread = [](std::vector<double> ratios) {
        std::sort(ratios.begin(), ratios.end());
        return std::array<double, 3> {ratios[ratios.size() / 2], ratios.front(), ratios.back()};
    };

    // What the Ghostscript method costs around gs itself, free of gs's own spread from one minute to the
    // next: the same runs with a gs that does no work first on the search path, where both the runs of gs
    // and the pass's batch file find it.
    std::vector<double> ownCostMs;
    {
        const QByteArray searchPath = qgetenv("PATH");
        qputenv("PATH", QByteArray(QUARNEL_IDLE_GS_DIR) + ':' + searchPath);
        for (int round = 0; round < kRounds; ++round) {
            const GsTurns idle = gsInTurns(onePage, 25, round);
            ownCostMs.push_back(1000 * (idle.pass.run.seconds - idle.direct.seconds) / onePage.size());
        }
        qputenv("PATH", searchPath);
    }
    const double ownCost = spread(ownCostMs)[0];
    std::printf("  the Ghostscript method's own cost: %.2f ms a PDF (with a gs that does no work), %.1f %% of gs's "
                "time on a one-page PDF\n",
                ownCost, 100 * ownCost * gsRate / 1000);

    const qint64 longestGap
        = std::max({passGs.run.longestGapMs, passAcrobat.run.longestGapMs, passGflax.run.longestGapMs,
                    singleGs.run.longestGapMs, singleAcrobat.run.longestGapMs, singleGflax.run.longestGapMs});
    const auto met = [](bool ok) { return ok ? "met" : "NOT met"; };
    std::printf("\ntargets (the ratios: the median of those taken in each round, the runs side by side; gs and the "
                "Ghostscript pass in groups taken in turns; each document pass against the floor right before and "
                "after it):\n");
    std::printf("  one-page PDFs, document and imaging methods >= 1.6 x gs per file: %s\n",
                met(std::min(perSecond(singleAcrobat.pdfs, singleAcrobat.run.seconds),
                             perSecond(singleGflax.pdfs, singleGflax.run.seconds))
                    >= 1.6 * gsRate));
    const auto gflaxPoppler = spread(gflaxToPoppler);
    const auto gflaxDocument = spread(gflaxToDocument);
    std::printf("  GflAx at 288 dpi >= 2.2 x pdftoppm and >= 0.9 x the document method: %s (%.2f, rounds %.2f to "
                "%.2f; %.3f, rounds %.3f to %.3f)\n",
                met(gflaxPoppler[0] >= 2.2 && gflaxDocument[0] >= 0.9), gflaxPoppler[0], gflaxPoppler[1],
                gflaxPoppler[2], gflaxDocument[0], gflaxDocument[1], gflaxDocument[2]);
    const auto document = spread(documentToFloor);
    std::printf("  document method >= 0.75 x the encode floor: %s (%.3f; rounds %.3f to %.3f)\n",
                met(document[0] >= 0.75), document[0], document[1], document[2]);
    const auto gsMulti = spread(gsPassToGs);
    const auto gsSingle = spread(gsSinglePassToGs);
    std::printf("  Ghostscript pass >= 0.95 x gs, both sets: %s (multi-page %.3f, rounds %.3f to %.3f; "
                "one-page %.3f, rounds %.3f to %.3f)\n",
                met(std::min(gsMulti[0], gsSingle[0]) >= 0.95), gsMulti[0], gsMulti[1], gsMulti[2], gsSingle[0],
                gsSingle[1], gsSingle[2]);
    std::printf("  longest event-loop gap < 100 ms: %s (%lld ms)\n", met(longestGap < 100),
                static_cast<long long>(longestGap));
    const qint64 peak = std::max({passAcrobat.rendererPeakKiB, passGflax.rendererPeakKiB, singleAcrobat.rendererPeakKiB,
                                  singleGflax.rendererPeakKiB});
    std::printf("  renderer peak within its budget (%zu MB): %s (%.0f MB)\n",
                quarnel::render::kRendererMemoryBytes >> 20,
                met(peak * 1024 <= static_cast<qint64>(quarnel::render::kRendererMemoryBytes)), peak / 1024.0);
    return 0;
}
