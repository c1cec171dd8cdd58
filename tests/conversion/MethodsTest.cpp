#include "conversion/Methods.h"

#include "conversion/Automation.h"
#include "conversion/ConversionPass.h"
#include "conversion/RenderClient.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/ProcessLaunch.h"
#include "samples/SamplePdf.h"
#include "support/Fakes.h"
#include "support/PassFakes.h"
#include "support/TempTree.h"

#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTimer>
#include <gtest/gtest.h>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quarnel;
using namespace quarnel::test;
using quarnel::samples::MakeSamplePdf;
using quarnel::samples::SamplePage;

namespace {

const QString kBin = QStringLiteral(QUARNEL_BIN_DIR);

QByteArray pagesPdf(int count)
{
    std::vector<SamplePage> pages;
    for (int i = 0; i < count; ++i)
        pages.push_back({{612, 792}, QStringLiteral("Page %1").arg(i + 1), {QStringLiteral("Some text on the page.")}});
    return MakeSamplePdf(pages);
}

// The sum of a JPEG file's first quantization table: the lower the quality, the larger it is.
int quantizerSum(const QByteArray& jpeg)
{
    const qsizetype marker = jpeg.indexOf("\xff\xdb");
    if (marker < 0 || marker + 5 + 64 > jpeg.size())
        return -1;
    int sum = 0;
    for (int i = 0; i < 64; ++i)
        sum += static_cast<unsigned char>(jpeg[marker + 5 + i]);
    return sum;
}

// A program folder whose Ghostscript is the given script, beside the real batch runner.
void withGhostscript(const TempTree& program, const QByteArray& script)
{
    program.write(QStringLiteral("ps/gswin32c"), script);
    QFile::setPermissions(program.file(QStringLiteral("ps/gswin32c")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::copy(kBin + QStringLiteral("/quarnel-batch"), program.file(QStringLiteral("quarnel-batch")));
}

QStringList jpegsIn(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name);
}

class MethodFixture : public ::testing::Test
{
protected:
    void SetUp() override { qputenv("TEMP", temp.path().toUtf8()); }

    TempTree temp;
    TempTree in;
    TempTree staging;
    FakeMessageBoxes messages;
    FakeMethodOptions options;
    SystemLauncher launcher {kBin};
};

} // namespace

TEST(GhostscriptBatchFile, ExactBytes)
{
    TempTree tree;
    WriteTextFile(tree.file(QStringLiteral("pdf2tiff.bat")), GhostscriptBatchText(85));
    EXPECT_EQ(TempTree::read(tree.file(QStringLiteral("pdf2tiff.bat"))),
              QByteArray("gswin32c -dBATCH -dNOPAUSE -sDEVICE=jpeg -dJPEGQ=85 -sOutputFile=current-%%03d.jpg -r300 "
                         "current.pdf \r\ndel current.PDF\r\n"));
    EXPECT_EQ(PdfStem(QStringLiteral("/in/Q3 report.final.pdf")), QStringLiteral("Q3 report"));
    EXPECT_EQ(PdfStem(QStringLiteral("/in/a.b.c.pdf")), QStringLiteral("a"));
}

// The launcher in the program's ps/ folder runs the first gs on the search path, quietly, with the batch
// file's arguments as they are, and ends as gs ends; without a gs it ends as a shell would.
TEST(GhostscriptLauncher, RunsGsQuietlyWithTheArgumentsAsTheyAre)
{
    TempTree tree;
    tree.write(QStringLiteral("bin/gs"),
               "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > arguments.txt\nexit 3\n");
    QFile::setPermissions(tree.file(QStringLiteral("bin/gs")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcess launcher;
    launcher.setWorkingDirectory(tree.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), tree.file(QStringLiteral("bin")));
    launcher.setProcessEnvironment(environment);
    launcher.start(kBin + QStringLiteral("/ps/gswin32c"),
                   {QStringLiteral("-sOutputFile=current-%03d.jpg"), QStringLiteral("two words.pdf")});
    ASSERT_TRUE(launcher.waitForFinished(10000));
    EXPECT_EQ(launcher.exitCode(), 3);
    EXPECT_EQ(TempTree::read(tree.file(QStringLiteral("arguments.txt"))),
              QByteArray("[-q]\n[-sOutputFile=current-%03d.jpg]\n[two words.pdf]\n"));

    environment.insert(QStringLiteral("PATH"), tree.file(QStringLiteral("nowhere")));
    launcher.setProcessEnvironment(environment);
    launcher.start(kBin + QStringLiteral("/ps/gswin32c"), {QStringLiteral("current.pdf")});
    ASSERT_TRUE(launcher.waitForFinished(10000));
    EXPECT_EQ(launcher.exitCode(), 127);
}

// The launcher runs from a working copy in the temporary folder and the batch runner in that folder: neither
// may take a library from there for the system's.
TEST(HelperPrograms, NeverLoadALibraryFromTheFolderTheyRunIn)
{
    TempTree tree;
    tree.write(QStringLiteral("libc.so.6"), "not a library");
    tree.write(QStringLiteral("job.bat"), "rem nothing to do\r\n");
    tree.write(QStringLiteral("bin/gs"), "#!/bin/sh\nexit 3\n");
    QFile::setPermissions(tree.file(QStringLiteral("bin/gs")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), tree.file(QStringLiteral("bin")));
    // What each program answers when it starts at all: the launcher the status of gs, the runner that of a
    // batch file with nothing to do.
    const std::pair<QString, int> programs[]
        = {{QStringLiteral("ps/gswin32c"), 3}, {QStringLiteral("quarnel-batch"), 0}};
    for (const auto& [name, status] : programs) {
        const QString copy = tree.file(QFileInfo(name).fileName());
        ASSERT_TRUE(QFile::copy(kBin + u'/' + name, copy));
        for (const QString& program : {copy, kBin + u'/' + name}) {
            QProcess run;
            run.setWorkingDirectory(tree.path());
            run.setProcessEnvironment(environment);
            run.start(program, {QStringLiteral("job.bat")});
            ASSERT_TRUE(run.waitForFinished(10000));
            EXPECT_EQ(run.exitCode(), status) << qPrintable(program) << ": " << run.readAllStandardError().constData();
        }
    }
}

TEST_F(MethodFixture, GhostscriptRendersEveryPageInOrder)
{
    const QString pdf = in.write(QStringLiteral("report.pdf"), pagesPdf(3));
    temp.write(QStringLiteral("ps/pdf2tiff.bat"), "stale content that must go\r\n");
    // A working copy of the launcher that is not the program's own is replaced.
    withGhostscript(temp, "#!/bin/sh\nexit 1\n");
    BatchFileMethod method(BatchFileMethod::Kind::Ghostscript, options, launcher, messages, kBin);
    ASSERT_TRUE(method.Convert(pdf, staging.path())) << qPrintable(messages.texts().join(u'\n'));
    EXPECT_EQ(jpegsIn(staging.path()), (QStringList {"report-001.jpg", "report-002.jpg", "report-003.jpg"}));
    EXPECT_TRUE(jpegsIn(temp.file(QStringLiteral("ps"))).isEmpty());
    EXPECT_FALSE(QFile::exists(temp.file(QStringLiteral("ps/current.pdf"))));
    EXPECT_TRUE(TempTree::read(temp.file(QStringLiteral("ps/pdf2tiff.bat"))).startsWith("gswin32c "));
    const QImage first(staging.file(QStringLiteral("report-001.jpg")));
    EXPECT_EQ(first.width(), 2550); // 8.5 inches at 300 dpi
    EXPECT_TRUE(messages.boxes.empty());
}

TEST_F(MethodFixture, GhostscriptFirstPageOnlyAndQuality)
{
    const QString pdf = in.write(QStringLiteral("a.b.c.pdf"), pagesPdf(2));
    BatchFileMethod method(BatchFileMethod::Kind::Ghostscript, options, launcher, messages, kBin);
    options.firstOnly = true;
    options.jpegQuality = 95;
    ASSERT_TRUE(method.Convert(pdf, staging.path()));
    EXPECT_EQ(jpegsIn(staging.path()), QStringList {QStringLiteral("a-001.jpg")});
    EXPECT_TRUE(jpegsIn(temp.file(QStringLiteral("ps"))).isEmpty());
    const int fine = quantizerSum(TempTree::read(staging.file(QStringLiteral("a-001.jpg"))));
    QFile::remove(staging.file(QStringLiteral("a-001.jpg")));
    options.jpegQuality = 10;
    // The same launcher, no longer executable, is copied again.
    QFile::setPermissions(temp.file(QStringLiteral("ps/gswin32c")), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ASSERT_TRUE(method.Convert(pdf, staging.path()));
    const int coarse = quantizerSum(TempTree::read(staging.file(QStringLiteral("a-001.jpg"))));
    EXPECT_GT(fine, 0);
    EXPECT_GT(coarse, fine * 5);
}

TEST_F(MethodFixture, BlackWhiteGivesPureBlackAndWhitePages)
{
    const QString pdf = in.write(QStringLiteral("scan.pdf"), pagesPdf(2));
    // A run killed mid-page left its page cut off under the hidden name the next page is written to.
    temp.mkdir(QStringLiteral("bw/current"));
    temp.write(QStringLiteral("bw/current/.~page-000001.jpg.part"), "cut off");
    BatchFileMethod method(BatchFileMethod::Kind::BlackWhite, options, launcher, messages, kBin);
    ASSERT_TRUE(method.Convert(pdf, staging.path())) << qPrintable(messages.texts().join(u'\n'));
    EXPECT_EQ(jpegsIn(staging.path()), (QStringList {"scan-001.jpg", "scan-002.jpg"}));
    EXPECT_FALSE(QFileInfo::exists(temp.file(QStringLiteral("bw/current"))));
    const QImage page(staging.file(QStringLiteral("scan-001.jpg")));
    ASSERT_FALSE(page.isNull());
    EXPECT_TRUE(page.isGrayscale());
    qint64 extreme = 0;
    qint64 dark = 0;
    for (int y = 0; y < page.height(); y += 3) {
        for (int x = 0; x < page.width(); x += 3) {
            const int v = qGray(page.pixel(x, y));
            extreme += (v < 48 || v > 207) ? 1 : 0;
            dark += v < 48 ? 1 : 0;
        }
    }
    const qint64 sampled = static_cast<qint64>((page.height() + 2) / 3) * ((page.width() + 2) / 3);
    EXPECT_GT(extreme, sampled * 99 / 100); // only the encoder's ringing at edges is in between
    EXPECT_GT(dark, 0);
}

TEST_F(MethodFixture, BatchMethodsFailCleanlyOnBrokenInput)
{
    BatchFileMethod gs(BatchFileMethod::Kind::Ghostscript, options, launcher, messages, kBin);
    BatchFileMethod bw(BatchFileMethod::Kind::BlackWhite, options, launcher, messages, kBin);
    for (const auto& [name, bytes] :
         std::vector<std::pair<QString, QByteArray>> {{QStringLiteral("empty.pdf"), QByteArray()},
                                                      {QStringLiteral("garbage.pdf"), QByteArray(5000, '\x9c')},
                                                      {QStringLiteral("cut.pdf"), pagesPdf(3).left(300)}}) {
        const QString pdf = in.write(name, bytes);
        EXPECT_FALSE(gs.Convert(pdf, staging.path())) << qPrintable(name);
        EXPECT_FALSE(bw.Convert(pdf, staging.path())) << qPrintable(name);
    }
    EXPECT_TRUE(jpegsIn(staging.path()).isEmpty());
    EXPECT_FALSE(gs.Convert(in.file(QStringLiteral("vanished.pdf")), staging.path()));
    EXPECT_TRUE(messages.texts().join(u' ').contains(QStringLiteral("PDF.PDF_To_BMP_GS at line 106")));
}

// The black/white converter keeps within the renderer's memory budget: a hostile PDF fails there alone.
TEST(BlackWhiteConverter, KeepsWithinTheRenderersMemoryBound)
{
    TempTree tree;
    const QString bomb = tree.write(QStringLiteral("bomb.pdf"), samples::MakeDecompressionBomb(1, 3000000000LL));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const QByteArray program = QFile::encodeName(kBin + QStringLiteral("/quarnel-bw"));
        const QByteArray input = QFile::encodeName(bomb);
        const QByteArray output = QFile::encodeName(tree.file(QStringLiteral("pages")));
        ::execl(program.constData(), program.constData(), input.constData(), output.constData(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    ASSERT_EQ(::wait4(child, &status, 0, &usage), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the bomb's page is not refused";
    EXPECT_LT(usage.ru_maxrss, 1100L * 1024) << "peak " << usage.ru_maxrss / 1024 << " MiB";
}

TEST_F(MethodFixture, BatchMethodsShowTheHourglassWhileTheyWork)
{
    TempTree program;
    withGhostscript(program, "#!/bin/sh\nsleep 0.5\nprintf 'page\\377\\331' > current-001.jpg\nrm -f current.pdf\n");
    SystemLauncher local(program.path());
    BatchFileMethod method(BatchFileMethod::Kind::Ghostscript, options, local, messages, program.path());
    Qt::CursorShape during = Qt::ArrowCursor;
    QTimer::singleShot(250, [&] {
        if (const QCursor* cursor = QGuiApplication::overrideCursor())
            during = cursor->shape();
    });
    EXPECT_TRUE(method.Convert(in.write(QStringLiteral("scan.pdf"), pagesPdf(1)), staging.path()));
    EXPECT_EQ(during, Qt::WaitCursor);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(MethodFixture, ConverterThatNeverEndsIsStoppedWithItsChildren)
{
    TempTree program;
    withGhostscript(program, "#!/bin/sh\nsleep 300 &\nsleep 300\n");
    SystemLauncher local(program.path());
    BatchFileMethod method(BatchFileMethod::Kind::Ghostscript, options, local, messages, program.path());
    method.setTimeLimit(std::chrono::milliseconds(700));
    const QString pdf = in.write(QStringLiteral("slow.pdf"), pagesPdf(1));
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(method.Convert(pdf, staging.path()));
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_FALSE(QFile::exists(temp.file(QStringLiteral("ps/current.pdf"))));
}

namespace {

// Records the imaging object's calls in order.
class RecordingFactory final : public AutomationFactory
{
public:
    class Gfl final : public GflAxObject
    {
    public:
        explicit Gfl(QStringList& calls, int pages)
            : m_calls(calls)
            , m_pages(pages)
        { }
        void setEpsDpi(double dpi) override { m_calls << QStringLiteral("EpsDpi=%1").arg(dpi); }
        void setPage(qint16 page) override
        {
            m_page = page;
            m_calls << QStringLiteral("Page=%1").arg(page);
        }
        void LoadBitmap(const QString& path) override
        {
            m_calls << QStringLiteral("LoadBitmap ") + FileNameOf(path);
            if (m_page > m_pages)
                throw RuntimeError(440, QStringLiteral("Automation error"));
        }
        void setSaveformat(qint16 format) override { m_calls << QStringLiteral("Saveformat=%1").arg(format); }
        void setSaveJPEGQuality(qint32 quality) override
        {
            m_calls << QStringLiteral("SaveJPEGQuality=%1").arg(quality);
        }
        void saveBitmap(const QString& path) override
        {
            m_calls << QStringLiteral("saveBitmap ") + FileNameOf(path);
            QFile file(path);
            if (m_page <= m_pages && file.open(QIODevice::WriteOnly))
                file.write("jpeg");
        }

    private:
        QStringList& m_calls;
        int m_pages;
        int m_page = 0;
    };

    class Doc final : public AcroPDDoc
    {
    public:
        explicit Doc(QStringList& calls)
            : m_calls(calls)
        { }
        bool Open(const QString&) override
        {
            m_calls << QStringLiteral("Open");
            return false;
        }
        std::unique_ptr<AcroJSObject> GetJSObject() override
        {
            m_calls << QStringLiteral("GetJSObject");
            return nullptr;
        }
        void Close() override { m_calls << QStringLiteral("Close"); }

    private:
        QStringList& m_calls;
    };

    class App final : public AcroApp
    {
    public:
        explicit App(QStringList& calls)
            : m_calls(calls)
        { }
        void Exit() override { m_calls << QStringLiteral("Exit"); }

    private:
        QStringList& m_calls;
    };

    std::unique_ptr<AutomationObject> CreateObject(const QString& progId) override
    {
        calls << QStringLiteral("CreateObject ") + progId;
        if (progId == QStringLiteral("GflAx.GflAx"))
            return std::make_unique<Gfl>(calls, pdfPages);
        if (progId == QStringLiteral("AcroExch.PDDoc"))
            return std::make_unique<Doc>(calls);
        if (progId == QStringLiteral("AcroExch.app"))
            return std::make_unique<App>(calls);
        throw RuntimeError(ErrorNumber::CantCreateObject);
    }

    QStringList calls;
    int pdfPages = 5;
};

} // namespace

TEST_F(MethodFixture, GflAxCallsTheObjectInTheDocumentedOrder)
{
    RecordingFactory factory;
    options.pages = QStringLiteral("2 pages");
    options.resolution = QStringLiteral("288");
    GflAxMethod method(factory, options, messages);
    EXPECT_TRUE(method.Convert(QStringLiteral("/in/report.pdf"), staging.path()));
    const QStringList page = {"EpsDpi=288",
                              "Page=%1",
                              "LoadBitmap report.pdf",
                              "Saveformat=1",
                              "SaveJPEGQuality=85",
                              "saveBitmap report%1.jpg"};
    QStringList expected {QStringLiteral("CreateObject GflAx.GflAx")};
    for (int p = 1; p <= 2; ++p)
        for (const QString& call : page)
            expected << (call.contains(u'%') ? call.arg(p) : call);
    EXPECT_EQ(factory.calls, expected);
    EXPECT_EQ(jpegsIn(staging.path()), (QStringList {"report1.jpg", "report2.jpg"}));
}

TEST_F(MethodFixture, GflAxPageCountText)
{
    RecordingFactory factory;
    GflAxMethod method(factory, options, messages);
    for (const QString& text : {QString(), QStringLiteral("0"), QStringLiteral("-2"), QStringLiteral("none")}) {
        options.pages = text;
        factory.calls.clear();
        EXPECT_FALSE(method.Convert(QStringLiteral("/in/a.pdf"), staging.path())) << qPrintable(text);
        EXPECT_EQ(factory.calls, QStringList {QStringLiteral("CreateObject GflAx.GflAx")});
    }
    EXPECT_EQ(NumericPrefix(QStringLiteral("  2.5x")), 2.5);
    EXPECT_EQ(NumericPrefix(QStringLiteral("1 2")), 12);
    EXPECT_EQ(NumericPrefix(QStringLiteral("&H10")), 16);
    EXPECT_EQ(NumericPrefix(QStringLiteral("-3e2")), -300);
    options.pages = QStringLiteral("99999");
    EXPECT_FALSE(method.Convert(QStringLiteral("/in/a.pdf"), staging.path()));
    EXPECT_TRUE(messages.texts().back().startsWith(
        QStringLiteral("Overflow\r\nin Brenvolt2021/08/31.PDF.PDF_To_BMP_GFAX at line 104")));
}

TEST_F(MethodFixture, GflAxPagesBeyondTheDocumentAreReported)
{
    RecordingFactory factory;
    factory.pdfPages = 1;
    options.pages = QStringLiteral("3");
    GflAxMethod method(factory, options, messages);
    EXPECT_TRUE(method.Convert(QStringLiteral("/in/one.pdf"), staging.path()));
    EXPECT_EQ(messages.warnings(), 2);
    EXPECT_TRUE(messages.texts()[0].contains(QStringLiteral("at line 110")));
    EXPECT_EQ(jpegsIn(staging.path()), QStringList {QStringLiteral("one1.jpg")});
}

TEST_F(MethodFixture, AcrobatThatCannotOpenStillExits)
{
    RecordingFactory factory;
    AcrobatMethod method(factory, messages);
    EXPECT_FALSE(method.Convert(QStringLiteral("/in/locked.pdf"), staging.path()));
    EXPECT_EQ(factory.calls,
              (QStringList {"CreateObject AcroExch.app", "CreateObject AcroExch.PDDoc", "Open", "Exit"}));
}

TEST(Automation, UnknownProgIdCannotBeCreated)
{
    RenderClient renderer(kBin + QStringLiteral("/quarnel-render"));
    StandInAutomation factory(renderer);
    try {
        factory.CreateObject(QStringLiteral("Word.Application"));
        FAIL();
    } catch (const RuntimeError& error) {
        EXPECT_EQ(error.number(), 429);
        EXPECT_EQ(error.description(), QStringLiteral("ActiveX component can't create object"));
    }
    EXPECT_NE(dynamic_cast<GflAxObject*>(factory.CreateObject(QStringLiteral("gflax.gflax")).get()), nullptr);
}

TEST_F(MethodFixture, StandInsRenderRealPages)
{
    RenderClient renderer(kBin + QStringLiteral("/quarnel-render"));
    StandInAutomation factory(renderer);
    const QString three = in.write(QStringLiteral("report.pdf"), pagesPdf(3));
    const QString one = in.write(QStringLiteral("single.pdf"), pagesPdf(1));
    AcrobatMethod acrobat(factory, messages);
    ASSERT_TRUE(acrobat.Convert(three, staging.path())) << qPrintable(messages.texts().join(u'\n'));
    ASSERT_TRUE(acrobat.Convert(one, staging.path()));
    EXPECT_EQ(jpegsIn(staging.path()),
              (QStringList {"report_Page_1.jpg", "report_Page_2.jpg", "report_Page_3.jpg", "single.jpg"}));
    const QImage page(staging.file(QStringLiteral("single.jpg")));
    EXPECT_EQ(page.width(), 2550);
    EXPECT_EQ(page.dotsPerMeterX(), qRound(300 / 0.0254));

    TempTree other;
    options.pages = QStringLiteral("2");
    options.resolution = QStringLiteral("72");
    GflAxMethod gflax(factory, options, messages);
    ASSERT_TRUE(gflax.Convert(three, other.path()));
    EXPECT_EQ(jpegsIn(other.path()), (QStringList {"report1.jpg", "report2.jpg"}));
    EXPECT_EQ(QImage(other.file(QStringLiteral("report2.jpg"))).width(), 612);
    EXPECT_TRUE(messages.boxes.empty());
    // The imaging method writes the quality the options ask for, not the document method's 85.
    const int documentQuality = quantizerSum(TempTree::read(staging.file(QStringLiteral("single.jpg"))));
    std::map<int, int> sums;
    for (const int quality : {20, 95}) {
        TempTree asked;
        options.jpegQuality = quality;
        ASSERT_TRUE(gflax.Convert(one, asked.path()));
        sums[quality] = quantizerSum(TempTree::read(asked.file(QStringLiteral("single1.jpg"))));
    }
    EXPECT_GT(sums[20], documentQuality);
    EXPECT_LT(sums[95], documentQuality);
}

TEST_F(MethodFixture, StandInsRefuseBadDocuments)
{
    RenderClient renderer(kBin + QStringLiteral("/quarnel-render"));
    StandInAutomation factory(renderer);
    AcrobatMethod acrobat(factory, messages);
    options.pages = QStringLiteral("1");
    GflAxMethod gflax(factory, options, messages);
    for (const auto& [name, bytes] : std::vector<std::pair<QString, QByteArray>> {
             {QStringLiteral("empty.pdf"), QByteArray()}, {QStringLiteral("garbage.pdf"), QByteArray(5000, '\x9c')}}) {
        const QString pdf = in.write(name, bytes);
        EXPECT_FALSE(acrobat.Convert(pdf, staging.path())) << qPrintable(name);
        EXPECT_FALSE(gflax.Convert(pdf, staging.path())) << qPrintable(name);
    }
    EXPECT_TRUE(jpegsIn(staging.path()).isEmpty());
    // A truncated file is repaired as far as it goes: the pages of its cross-reference come out whole.
    const QString cut = in.write(QStringLiteral("cut.pdf"), pagesPdf(3).left(900));
    TempTree cutStaging;
    ASSERT_TRUE(acrobat.Convert(cut, cutStaging.path()));
    EXPECT_EQ(jpegsIn(cutStaging.path()), (QStringList {"cut_Page_1.jpg", "cut_Page_2.jpg", "cut_Page_3.jpg"}));
    EXPECT_EQ(QImage(cutStaging.file(QStringLiteral("cut_Page_1.jpg"))).width(), 2550);
    // A page tree that claims 200 million pages: the pages it does not have are given up quickly, the PDF
    // fails (its pages are not all there), and the renderer still converts the next PDF.
    const QString liar = in.write(QStringLiteral("liar.pdf"), samples::MakePdfClaimingPages(200000000));
    TempTree liarStaging;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(acrobat.Convert(liar, liarStaging.path()));
    EXPECT_LT(clock.elapsed(), 60000);
    TempTree after;
    EXPECT_TRUE(acrobat.Convert(in.write(QStringLiteral("after.pdf"), pagesPdf(1)), after.path()));
    EXPECT_EQ(jpegsIn(after.path()), QStringList {QStringLiteral("after.jpg")});
}

TEST_F(MethodFixture, BatchMethodsWorkOnlyInAWorkingFolderOfTheirOwn)
{
    // Another account planted links where the working folders go, pointing at a folder of the user's.
    TempTree victim;
    victim.write(QStringLiteral("holiday.jpg"), "mine");
    victim.mkdir(QStringLiteral("current"));
    victim.write(QStringLiteral("current/page.jpg"), "mine too");
    const QString pdf = in.write(QStringLiteral("report.pdf"), pagesPdf(1));
    for (const auto& [kind, name, step] :
         {std::tuple {BatchFileMethod::Kind::BlackWhite, QStringLiteral("bw"), QStringLiteral("PDF_To_BMP_BW")},
          std::tuple {BatchFileMethod::Kind::Ghostscript, QStringLiteral("ps"), QStringLiteral("PDF_To_BMP_GS")}}) {
        ASSERT_TRUE(QFile::link(victim.path(), temp.file(name)));
        BatchFileMethod method(kind, options, launcher, messages, kBin);
        messages.boxes.clear();
        EXPECT_FALSE(method.Convert(pdf, staging.path()));
        ASSERT_EQ(messages.warnings(), 1) << qPrintable(name);
        EXPECT_TRUE(messages.texts()[0].contains(step + QStringLiteral(" at line 100")));
        EXPECT_TRUE(messages.texts()[0].contains(QStringLiteral("Permission denied")));
    }
    EXPECT_EQ(QDir(victim.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList {"current", "holiday.jpg"}));
    EXPECT_EQ(TempTree::read(victim.file(QStringLiteral("current/page.jpg"))), QByteArray("mine too"));
    EXPECT_TRUE(jpegsIn(staging.path()).isEmpty());
}

TEST_F(MethodFixture, AConverterEndedAtItsTimeLimitHandsOverNothing)
{
    // It writes its first page, then never finishes the rest.
    TempTree program;
    withGhostscript(program, "#!/bin/sh\necho page > current-001.jpg\nsleep 300\n");
    SystemLauncher local(program.path());
    BatchFileMethod method(BatchFileMethod::Kind::Ghostscript, options, local, messages, program.path());
    method.setTimeLimit(std::chrono::milliseconds(1500));
    EXPECT_FALSE(method.Convert(in.write(QStringLiteral("long.pdf"), pagesPdf(3)), staging.path()));
    EXPECT_TRUE(jpegsIn(staging.path()).isEmpty());
    EXPECT_TRUE(jpegsIn(temp.file(QStringLiteral("ps"))).isEmpty());
}

// Pages each well within their own limit can still add up to hours: one PDF's whole conversion is bounded.
TEST_F(MethodFixture, DocumentAndImagingMethodsFailAPdfThatRunsPastItsTimeLimit)
{
    RenderClient renderer(QStringLiteral(QUARNEL_FAULTY_RENDER));
    StandInAutomation factory(renderer);
    const QString pdf = in.write(QStringLiteral("slow.pdf"), pagesPdf(6));
    options.pages = QStringLiteral("6");
    AcrobatMethod acrobat(factory, messages);
    GflAxMethod gflax(factory, options, messages);
    acrobat.setTimeLimit(std::chrono::milliseconds(2000));
    gflax.setTimeLimit(std::chrono::milliseconds(2000));
    qputenv("QUARNEL_RENDER_SLOW_MS", "3000");
    for (ConversionMethod* method :
         {static_cast<ConversionMethod*>(&acrobat), static_cast<ConversionMethod*>(&gflax)}) {
        TempTree cut;
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(method->Convert(pdf, cut.path()));
        EXPECT_LT(clock.elapsed(), 8000); // unbounded, 9 s or more
    }
    qunsetenv("QUARNEL_RENDER_SLOW_MS");
    // The next PDF has its own time.
    TempTree next;
    EXPECT_TRUE(acrobat.Convert(in.write(QStringLiteral("next.pdf"), pagesPdf(2)), next.path()));
}

// A converter that ends well but gives fewer pages than the document has hands over none.
TEST_F(MethodFixture, GhostscriptHandsOverOnlyAsManyPagesAsTheDocumentHas)
{
    TempTree program;
    withGhostscript(program, "#!/bin/sh\nfor n in 001 002; do printf 'page\\377\\331' > current-$n.jpg; done\n");
    SystemLauncher local(program.path());
    BatchFileMethod method(BatchFileMethod::Kind::Ghostscript, options, local, messages, program.path());
    const QString pdf = in.write(QStringLiteral("three.pdf"), pagesPdf(3));
    EXPECT_TRUE(method.Convert(pdf, staging.path())) << "without a page count, the converter's word counts";
    TempTree counted;
    RenderClient renderer(kBin + QStringLiteral("/quarnel-render"));
    method.setPageCounter(&renderer);
    EXPECT_FALSE(method.Convert(pdf, counted.path()));
    EXPECT_TRUE(jpegsIn(counted.path()).isEmpty());

    // The program's own set of methods gives its Ghostscript method the count too.
    ASSERT_TRUE(QFile::link(kBin + QStringLiteral("/quarnel-render"), program.file(QStringLiteral("quarnel-render"))));
    MethodSet methods(options, messages, program.path());
    FakePassInputs inputs;
    TempTree out;
    inputs.rows = {in.path()};
    inputs.output = out.path();
    FakeServices fakes;
    fakes.clock.current = QDateTime::currentDateTime().addSecs(5);
    ConversionPass pass(inputs, options, messages, fakes.clock, temp.file(QStringLiteral("DEV2IVI.log")));
    methods.installInto(pass);
    pass.ConvertPDFs(true);
    EXPECT_EQ(pass.lastSummary().failed, 1);
    EXPECT_TRUE(jpegsIn(out.path()).isEmpty());
}

TEST_F(MethodFixture, DocumentAndImagingMethodsFailWhenTheRendererDiesMidDocument)
{
    RenderClient renderer(QStringLiteral(QUARNEL_FAULTY_RENDER));
    StandInAutomation factory(renderer);
    const QString pdf = in.write(QStringLiteral("report.pdf"), pagesPdf(3));
    options.pages = QStringLiteral("3");
    AcrobatMethod acrobat(factory, messages);
    GflAxMethod gflax(factory, options, messages);
    qputenv("QUARNEL_RENDER_CRASH_PAGE", "2");
    TempTree acrobatStaging;
    TempTree gflaxStaging;
    EXPECT_FALSE(acrobat.Convert(pdf, acrobatStaging.path()));
    EXPECT_FALSE(gflax.Convert(pdf, gflaxStaging.path()));
    qunsetenv("QUARNEL_RENDER_CRASH_PAGE");
    // A page the document itself refuses is not a cut: the pages it has are still a success.
    options.pages = QStringLiteral("4");
    TempTree refused;
    EXPECT_TRUE(gflax.Convert(pdf, refused.path()));
    EXPECT_EQ(jpegsIn(refused.path()), (QStringList {"report1.jpg", "report2.jpg", "report3.jpg"}));
}
