#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "core/ProcessLaunch.h"
#include "samples/SamplePdf.h"
#include "support/Fakes.h"
#include "support/PassFakes.h"
#include "support/TempTree.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quarnel;
using namespace quarnel::test;

namespace {

QByteArray pdfOf(int pages)
{
    std::vector<samples::SamplePage> list(static_cast<std::size_t>(pages));
    for (int i = 0; i < pages; ++i)
        list[static_cast<std::size_t>(i)].title = QStringLiteral("Page %1").arg(i + 1);
    return samples::MakeSamplePdf(list);
}

// A whole pass over real PDFs with each real method: what a user gets.
class RealPass : public ::testing::TestWithParam<Method>
{
protected:
    void SetUp() override
    {
        qputenv("TEMP", temp.path().toUtf8());
        inputs.output = out.path();
        inputs.rows = {in.path()};
        options.method = GetParam();
        options.pages = QStringLiteral("3");
        options.resolution = QStringLiteral("72");
        methods.installInto(pass);
        fakes.clock.current = QDateTime::currentDateTime().addSecs(5);
    }
    QStringList outputs() const { return QDir(out.path()).entryList(QDir::Files, QDir::Name); }
    // The names in a folder as the file system holds them, in byte order.
    static std::vector<std::string> namesIn(const QString& folder)
    {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(QFile::encodeName(folder).constData())) {
            while (const dirent* entry = ::readdir(dir))
                if (entry->d_name[0] != '.')
                    names.emplace_back(entry->d_name);
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempTree temp, in, out;
    FakeServices fakes;
    FakePassInputs inputs;
    FakeMethodOptions options;
    MethodSet methods {options, fakes.messages, QStringLiteral(QUARNEL_BIN_DIR)};
    ConversionPass pass {inputs, options, fakes.messages, fakes.clock, temp.file(QStringLiteral("DEV2IVI.log"))};
};

} // namespace

TEST_P(RealPass, ConvertsNamesAndSkipsOnTheNextPass)
{
    in.write(QStringLiteral("Q3 report.final.pdf"), pdfOf(1));
    in.write(QStringLiteral("report.pdf"), pdfOf(3));
    in.write(QStringLiteral("broken.pdf"), "%PDF-1.4 this is not a document");
    pass.ConvertPDFs(true);
    QStringList expected;
    switch (GetParam()) {
    case Method::Acrobat:
        expected = {"Q3 report.final.jpg", "report_Page_1.jpg", "report_Page_2.jpg", "report_Page_3.jpg"};
        break;
    case Method::GflAx:
        // Three pages asked of a one-page PDF: one image, named after the PDF.
        expected = {"Q3 report.final.jpg", "report1.jpg", "report2.jpg", "report3.jpg"};
        break;
    default:
        expected = {"Q3 report.final.jpg", "report-001.jpg", "report-002.jpg", "report-003.jpg"};
    }
    EXPECT_EQ(outputs(), expected);
    for (const QString& name : outputs())
        EXPECT_FALSE(QImage(out.file(name)).isNull()) << qPrintable(name);
    const QString log = QString::fromUtf8(TempTree::read(temp.file(QStringLiteral("DEV2IVI.log"))));
    EXPECT_TRUE(log.contains(QStringLiteral(" : Could not create JPG on ") + in.file(QStringLiteral("broken.pdf"))));
    EXPECT_EQ(log.count(QStringLiteral(" : Converted ")), 2);
    // Nothing of the pass is left in the temporary folder but the log, the records kept beside it (date
    // formats, versions converted, the saved index) and the batch methods' working folders.
    QStringList left = QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    left.removeAll(QStringLiteral("ps"));
    left.removeAll(QStringLiteral("bw"));
    EXPECT_EQ(left, (QStringList {"DEV2IVI.log", "DEV2IVI.log.dates", "DEV2IVI.log.index", "DEV2IVI.log.versions"}));

    pass.ConvertPDFs(true);
    EXPECT_EQ(outputs().size(), expected.size());
    EXPECT_EQ(QString::fromUtf8(TempTree::read(temp.file(QStringLiteral("DEV2IVI.log"))))
                  .count(QStringLiteral(" : No new files or changes to convert ")),
              2);
}

// File names are bytes: one that is not valid UTF-8 (a Latin-1 name from an old archive) names a PDF
// like any other, and its images carry the same bytes.
TEST_P(RealPass, ANameThatIsNotValidUtf8IsConvertedOnceUnderItsOwnBytes)
{
    const QByteArray folder = QFile::encodeName(in.path()) + '/';
    const QByteArray name = "caf\xe9 \xff.pdf";
    const QByteArray pdf = pdfOf(1);
    const int fd = ::open((folder + name).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, pdf.constData(), static_cast<std::size_t>(pdf.size())), pdf.size());
    ::close(fd);
    pass.ConvertPDFs(true);
    const std::vector<std::string> expected {"caf\xe9 \xff.jpg"};
    EXPECT_EQ(namesIn(out.path()), expected);
    const QByteArray log = TempTree::read(temp.file(QStringLiteral("DEV2IVI.log")));
    EXPECT_TRUE(log.contains(" : Converted " + folder + name + "\r\n")) << log.constData();
    // The pass's staging folder went with what it held.
    QStringList left = QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    left.removeAll(QStringLiteral("ps"));
    left.removeAll(QStringLiteral("bw"));
    EXPECT_EQ(left, (QStringList {"DEV2IVI.log", "DEV2IVI.log.dates", "DEV2IVI.log.index", "DEV2IVI.log.versions"}));

    pass.ConvertPDFs(true);
    EXPECT_EQ(namesIn(out.path()), expected);
    EXPECT_TRUE(TempTree::read(temp.file(QStringLiteral("DEV2IVI.log")))
                    .contains(" : No new files or changes to convert " + folder + name + "\r\n"));
}

// The names a method gives the pages of a PDF with this stem.
QStringList pageNames(Method method, const QString& stem, int pages)
{
    QStringList names;
    for (int page = 1; page <= pages; ++page) {
        if (method == Method::Acrobat)
            names.append(stem + QStringLiteral("_Page_%1.jpg").arg(page));
        else if (method == Method::GflAx)
            names.append(stem + QStringLiteral("%1.jpg").arg(page));
        else
            names.append(stem + QStringLiteral("-%1.jpg").arg(page, 3, 10, QChar(u'0')));
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A name near the file system's limit: every page is written and placed, or the PDF fails.
TEST_P(RealPass, ALongNameGetsEveryPage)
{
    const QString stem(237, u'n');
    in.write(stem + QStringLiteral(".pdf"), pdfOf(12));
    pass.ConvertPDFs(true);
    EXPECT_EQ(outputs(), pageNames(GetParam(), stem, GetParam() == Method::GflAx ? 3 : 12));
    EXPECT_TRUE(QString::fromUtf8(TempTree::read(temp.file(QStringLiteral("DEV2IVI.log"))))
                    .contains(QStringLiteral(" : Converted ") + in.file(stem + QStringLiteral(".pdf"))));
}

// The output and the temporary folder on a file system that fills part-way through a PDF: no page of it
// is left anywhere and it is logged as not converted; with room again, the next pass places every page
// once, under the names a fresh conversion gives.
TEST_P(RealPass, AFullDiskLeavesNoPageAndTheNextPassPlacesEachOnce)
{
    const QString small = in.file(QStringLiteral("small"));
    QDir().mkpath(small);
    if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1M,mode=0700") != 0)
        GTEST_SKIP() << "no small file system can be mounted here: " << std::strerror(errno);
    struct Unmount
    {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount {QFile::encodeName(small)};
    const QString smallOutput = small + QStringLiteral("/out");
    const QString smallTemp = small + QStringLiteral("/temp");
    QDir().mkpath(smallOutput);
    QDir().mkpath(smallTemp);
    inputs.rows = {in.file(QStringLiteral("pdfs"))};
    options.pages = QStringLiteral("40");
    options.resolution = QStringLiteral("300");
    const QString pdf = in.write(QStringLiteral("pdfs/big.pdf"), pdfOf(40));
    const QString log = temp.file(QStringLiteral("DEV2IVI.log"));
    const auto lastLineIs = [&](const QString& outcome) {
        return QString::fromUtf8(TempTree::read(log)).endsWith(outcome + pdf + QStringLiteral("\r\n"));
    };
    // Full while the images are placed, then while the method writes them.
    inputs.output = smallOutput;
    pass.ConvertPDFs(true);
    EXPECT_TRUE(lastLineIs(QStringLiteral(" : Could not create JPG on ")));
    EXPECT_EQ(QDir(smallOutput).entryList(QDir::Files), QStringList());
    inputs.output = out.path();
    qputenv("TEMP", QFile::encodeName(smallTemp));
    pass.ConvertPDFs(true);
    EXPECT_TRUE(lastLineIs(QStringLiteral(" : Could not create JPG on ")));
    EXPECT_EQ(outputs(), QStringList());

    ASSERT_EQ(::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", MS_REMOUNT, "size=256M,mode=0700"), 0);
    inputs.output = smallOutput;
    pass.ConvertPDFs(true);
    EXPECT_TRUE(lastLineIs(QStringLiteral(" : Converted ")));
    EXPECT_EQ(QDir(smallOutput).entryList(QDir::Files, QDir::Name), pageNames(GetParam(), QStringLiteral("big"), 40));
}

// The output folder on a FAT file system (a USB stick: no hard links): every page placed once under its
// own name, nothing hidden left behind, and the pages of a changed PDF beside them under numbered names.
TEST_P(RealPass, AFatOutputFolderGetsEveryPageOnce)
{
    const QString image = temp.file(QStringLiteral("fat.img"));
    const QString fat = in.mkdir(QStringLiteral("fat"));
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(16 << 20));
    file.close();
    if (QProcess::execute(QStringLiteral("mkfs.vfat"), {QStringLiteral("-n"), QStringLiteral("STICK"), image}) != 0
        || QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, fat}) != 0)
        GTEST_SKIP() << "no FAT file system can be mounted here";
    struct Unmount
    {
        QString path;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path}); }
    } unmount {fat};
    inputs.rows = {in.file(QStringLiteral("pdfs"))};
    inputs.output = fat;
    const QString pdf = in.write(QStringLiteral("pdfs/doc.pdf"), pdfOf(3));
    pass.ConvertPDFs(true);
    const QStringList first = pageNames(GetParam(), QStringLiteral("doc"), 3);
    EXPECT_EQ(QDir(fat).entryList(QDir::Files | QDir::Hidden, QDir::Name), first);
    in.write(QStringLiteral("pdfs/doc.pdf"), pdfOf(3) + "\n% changed\n");
    ::utimensat(AT_FDCWD, QFile::encodeName(pdf).constData(), nullptr, 0);
    fakes.clock.current = QDateTime::currentDateTime().addSecs(5);
    pass.ConvertPDFs(true);
    QStringList both = first;
    for (const QString& name : first)
        both.append(name.chopped(4) + QStringLiteral("1.jpg"));
    std::sort(both.begin(), both.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    QStringList found = QDir(fat).entryList(QDir::Files | QDir::Hidden);
    std::sort(found.begin(), found.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    EXPECT_EQ(found, both);
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, RealPass,
                         ::testing::Values(Method::Ghostscript, Method::BlackWhite, Method::Acrobat, Method::GflAx),
                         [](const ::testing::TestParamInfo<Method>& info) {
                             switch (info.param) {
                             case Method::Ghostscript:
                                 return std::string("Ghostscript");
                             case Method::BlackWhite:
                                 return std::string("BlackWhite");
                             case Method::Acrobat:
                                 return std::string("Acrobat");
                             default:
                                 return std::string("GflAx");
                             }
                         });

namespace {

// A watched folder converted by one pass with the real methods, with or without the renderer working
// ahead; what the pass did to it can be compared whole.
struct Outcome
{
    QStringList log; // without dates and times
    QStringList messages; // the boxes shown, in order
    std::map<QString, QByteArray> images;
    QStringList leftInTemp;
};

class AheadPass : public ::testing::TestWithParam<Method>
{
protected:
    // Runs a pass over PDFs of these page counts; `during` is called as the pass reaches each PDF, with
    // its name and everything needed to change the world under the pass.
    Outcome run(bool ahead, const std::function<void(const QString& name, TempTree& in, FakeMethodOptions&)>& during)
    {
        TempTree temp, in, out;
        qputenv("TEMP", temp.path().toUtf8());
        FakeServices fakes;
        FakePassInputs inputs;
        FakeMethodOptions options;
        inputs.output = out.path();
        inputs.rows = {in.path()};
        options.method = GetParam();
        options.pages = QStringLiteral("2");
        options.resolution = QStringLiteral("72");
        MethodSet methods(options, fakes.messages, QStringLiteral(QUARNEL_BIN_DIR));
        methods.setRenderAhead(ahead);
        ConversionPass pass(inputs, options, fakes.messages, fakes.clock, temp.file(QStringLiteral("DEV2IVI.log")));
        methods.installInto(pass);
        const QDateTime settled = QDateTime::currentDateTime().addSecs(-60);
        fakes.clock.current = QDateTime::currentDateTime().addSecs(5);
        int i = 0;
        for (const int pages : {1, 3, 1, 2, 1, 1, 4, 1}) {
            ++i;
            QFile pdf(in.write(QStringLiteral("doc%1.pdf").arg(i), pdfOf(pages, i)));
            pdf.open(QIODevice::ReadWrite);
            pdf.setFileTime(settled, QFileDevice::FileModificationTime);
        }
        inputs.onProgress = [&](const QString& caption) {
            if (during && caption.startsWith(QStringLiteral("Processing: ")))
                during(caption.mid(12), in, options);
        };
        pass.ConvertPDFs(true);
        Outcome outcome;
        const QString log = QString::fromUtf8(TempTree::read(temp.file(QStringLiteral("DEV2IVI.log"))));
        // The folders differ from run to run: only the names inside them are compared.
        const auto named = [&](QString text) { return text.replace(in.path() + u'/', QString()); };
        for (const QString& line : log.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            outcome.log.append(named(line.mid(line.indexOf(QStringLiteral(" : ")) + 3)));
        for (const QString& text : fakes.messages.texts())
            outcome.messages.append(named(text));
        for (const QString& name : QDir(out.path()).entryList(QDir::Files, QDir::Name))
            outcome.images[name] = TempTree::read(out.file(name));
        outcome.leftInTemp = QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
        return outcome;
    }

    static QByteArray pdfOf(int pages, int number)
    {
        std::vector<samples::SamplePage> list(static_cast<std::size_t>(pages));
        for (int p = 0; p < pages; ++p)
            list[static_cast<std::size_t>(p)].title = QStringLiteral("Document %1, page %2").arg(number).arg(p + 1);
        return samples::MakeSamplePdf(list);
    }
};

void expectSame(const Outcome& ahead, const Outcome& plain)
{
    EXPECT_EQ(ahead.log, plain.log);
    EXPECT_EQ(ahead.messages, plain.messages);
    EXPECT_EQ(ahead.leftInTemp, plain.leftInTemp);
    ASSERT_EQ(ahead.images.size(), plain.images.size());
    for (const auto& [name, bytes] : plain.images) {
        ASSERT_TRUE(ahead.images.count(name)) << qPrintable(name);
        EXPECT_TRUE(ahead.images.at(name) == bytes) << qPrintable(name) << " differs";
    }
}

} // namespace

TEST_P(AheadPass, RenderingAheadChangesNothingAPassLeaves)
{
    const Outcome plain = run(false, nullptr);
    EXPECT_EQ(plain.images.size(), GetParam() == Method::Acrobat ? 14u : 11u);
    expectSame(run(true, nullptr), plain);
}

TEST_P(AheadPass, APdfReplacedAfterItWasRenderedAheadIsConvertedAsItIsAtItsTurn)
{
    // When the pass reaches doc2, doc3 and later were already asked for ahead: doc4 is then replaced
    // by a different document, and doc6 rewritten in place with the same size.
    const auto change = [](const QString& name, TempTree& in, FakeMethodOptions&) {
        if (name != QStringLiteral("doc2.pdf"))
            return;
        QThread::msleep(300); // let the renderer get to them
        const QString replacement = in.write(QStringLiteral("new.pdf"), pdfOf(2, 40));
        QFile::remove(in.file(QStringLiteral("doc4.pdf")));
        QFile::rename(replacement, in.file(QStringLiteral("doc4.pdf")));
        QByteArray same = TempTree::read(in.file(QStringLiteral("doc6.pdf")));
        same.replace("Document 6", "Document 9");
        QFile rewritten(in.file(QStringLiteral("doc6.pdf")));
        rewritten.open(QIODevice::ReadWrite);
        rewritten.write(same);
        for (const char* pdf : {"doc4.pdf", "doc6.pdf"}) {
            QFile file(in.file(QString::fromLatin1(pdf)));
            file.open(QIODevice::ReadWrite);
            file.setFileTime(QDateTime::currentDateTime().addSecs(-30), QFileDevice::FileModificationTime);
        }
    };
    const Outcome ahead = run(true, change);
    expectSame(ahead, run(false, change));
}

TEST_P(AheadPass, OptionsChangedDuringThePassApplyToThePdfsAfterTheChange)
{
    const auto change = [](const QString& name, TempTree&, FakeMethodOptions& options) {
        if (name == QStringLiteral("doc3.pdf")) {
            QThread::msleep(300);
            options.resolution = QStringLiteral("96");
            options.pages = QStringLiteral("1");
            options.jpegQuality = 60;
        }
    };
    const Outcome ahead = run(true, change);
    expectSame(ahead, run(false, change));
}

TEST_P(AheadPass, AnEndHalfWayRemovesWhatWasRenderedAhead)
{
    // The program's end in the middle of the pass (here it goes on, as it would not): the pages
    // rendered ahead are gone with it, and nothing rendered ahead is left after a pass in any case.
    const auto end = [](const QString& name, TempTree&, FakeMethodOptions&) {
        if (name == QStringLiteral("doc5.pdf")) {
            QThread::msleep(300);
            EndRunningBatch();
        }
    };
    const Outcome ahead = run(true, end);
    EXPECT_TRUE(ahead.leftInTemp.filter(QStringLiteral("quarnel-ahead")).isEmpty());
    expectSame(ahead, run(false, end));
}

INSTANTIATE_TEST_SUITE_P(DocumentAndImagingMethods, AheadPass, ::testing::Values(Method::Acrobat, Method::GflAx),
                         [](const ::testing::TestParamInfo<Method>& info) {
                             return std::string(info.param == Method::Acrobat ? "Acrobat" : "GflAx");
                         });
