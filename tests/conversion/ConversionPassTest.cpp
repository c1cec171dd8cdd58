#include "conversion/ConversionPass.h"

#include "conversion/ConversionLog.h"
#include "conversion/PassQueue.h"
#include "core/EndDeferral.h"
#include "core/ProcessLaunch.h"
#include "support/Fakes.h"
#include "support/PassFakes.h"
#include "support/TempTree.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quarnel;
using namespace quarnel::test;
using namespace std::chrono_literals;

namespace {

class PassFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("TEMP", temp.path().toUtf8());
        inputs.output = out.path() + u'/';
        pass.setMethod(Method::Ghostscript, &method);
        // Whole seconds, as the file times the tests set.
        fakes.clock.current = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() + 10);
    }

    QStringList logLines() const
    {
        QString text = QString::fromUtf8(TempTree::read(logPath()));
        if (text.endsWith(QStringLiteral("\r\n")))
            text.chop(2);
        return text.isEmpty() ? QStringList() : text.split(QStringLiteral("\r\n"));
    }
    // The log lines with their date and time cut off.
    QStringList outcomes() const
    {
        QStringList result;
        for (const QString& line : logLines())
            result.append(line.mid(line.indexOf(QStringLiteral(" : ")) + 3));
        return result;
    }
    QString logPath() const { return temp.file(QStringLiteral("DEV2IVI.log")); }
    QStringList outputNames() const { return QDir(out.path()).entryList(QDir::Files, QDir::Name); }
    QStringList informs() const { return fakes.messages.texts(FakeMessageBoxes::Box::Inform); }
    QStringList errorReports() const { return fakes.messages.texts(FakeMessageBoxes::Box::Warn); }
    static void setModified(const QString& path, const QDateTime& when)
    {
        const struct timeval times[2] = {{when.toSecsSinceEpoch(), 0}, {when.toSecsSinceEpoch(), 0}};
        ::utimes(QFile::encodeName(path).constData(), times);
    }

    TempTree temp;
    TempTree in;
    TempTree out;
    FakeServices fakes;
    FakePassInputs inputs;
    FakeMethodOptions options;
    FakeMethod method;
    ConversionPass pass {inputs, options, fakes.messages, fakes.clock, temp.file(QStringLiteral("DEV2IVI.log"))};
};

} // namespace

TEST_F(PassFixture, EmptyListLogsOnceAndLeavesTheWindowAlone)
{
    pass.ConvertPDFs(false);
    EXPECT_EQ(informs(), QStringList {QStringLiteral("No files or folders added.")});
    pass.ConvertPDFs(true);
    EXPECT_EQ(informs().size(), 1);
    EXPECT_EQ(outcomes(), (QStringList {"No files or folders added.", "No files or folders added."}));
    EXPECT_TRUE(inputs.busyCalls.empty());
    EXPECT_TRUE(inputs.progress.empty());
}

TEST_F(PassFixture, MissingOutputFolderStopsThePassUnlessSavingBeside)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    inputs.rows = {in.path()};
    for (const QString& bad : {out.file(QStringLiteral("nope")), QString(), in.file(QStringLiteral("a.pdf"))}) {
        inputs.output = bad;
        pass.ConvertPDFs(false);
    }
    EXPECT_EQ(informs(), QStringList(3, QStringLiteral("Folder does not exist. Please select another folder.")));
    EXPECT_EQ(outcomes(),
              QStringList(3, QStringLiteral("Output folder does not exist. Please select another folder.")));
    EXPECT_TRUE(method.converted.isEmpty());

    inputs.toFolder = false; // beside the original: the folder text is not looked at
    pass.ConvertPDFs(true);
    EXPECT_EQ(method.converted.size(), 1);
    EXPECT_TRUE(QFileInfo::exists(in.file(QStringLiteral("a.jpg"))));
}

TEST_F(PassFixture, OnePageImageIsNamedAfterThePdf)
{
    in.write(QStringLiteral("Q3 report.final.pdf"), "%PDF");
    inputs.rows = {in.path() + u'/'};
    pass.ConvertPDFs(false);
    EXPECT_EQ(outputNames(), QStringList {QStringLiteral("Q3 report.final.jpg")});
    EXPECT_EQ(outcomes(),
              QStringList {QStringLiteral("Converted ") + in.path() + QStringLiteral("/Q3 report.final.pdf")});
    EXPECT_EQ(informs(), QStringList {QStringLiteral("Done.")});
    EXPECT_FALSE(inputs.busy);
    EXPECT_EQ(inputs.progress.back(), 0);
    EXPECT_EQ(inputs.captions.back(), QStringLiteral("Progress Bar"));
    EXPECT_TRUE(inputs.captions.contains(QStringLiteral("Processing: Q3 report.final.pdf")));
}

TEST_F(PassFixture, SeveralPagesKeepTheirNumbersAndNeverOverwrite)
{
    in.write(QStringLiteral("report.pdf"), "%PDF");
    out.write(QStringLiteral("report-002.jpg"), "mine");
    out.write(QStringLiteral("report-0021.jpg"), "mine too");
    method.pages = 3;
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    EXPECT_EQ(
        outputNames(),
        (QStringList {"report-001.jpg", "report-002.jpg", "report-0021.jpg", "report-0022.jpg", "report-003.jpg"}));
    EXPECT_EQ(TempTree::read(out.file(QStringLiteral("report-002.jpg"))), QByteArray("mine"));
    EXPECT_EQ(TempTree::read(out.file(QStringLiteral("report-0022.jpg"))), QByteArray("JPEG page 2"));
    EXPECT_TRUE(informs().isEmpty());
}

TEST_F(PassFixture, ExistingOutputsGetTheNextNumber)
{
    in.write(QStringLiteral("report.pdf"), "%PDF");
    out.write(QStringLiteral("report.jpg"), "1");
    out.write(QStringLiteral("report1.jpg"), "2");
    out.mkdir(QStringLiteral("report2.jpg")); // a folder holds this name: not overwritten either
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    EXPECT_TRUE(QFileInfo(out.file(QStringLiteral("report3.jpg"))).isFile());
    EXPECT_EQ(TempTree::read(out.file(QStringLiteral("report.jpg"))), QByteArray("1"));
    EXPECT_EQ(NewFileName(out.file(QStringLiteral("report.jpg")), fakes.messages),
              out.file(QStringLiteral("report2.jpg")));
}

TEST_F(PassFixture, TildeImagesCountButStay)
{
    in.write(QStringLiteral("report.pdf"), "%PDF");
    method.tildeFile = true;
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    EXPECT_EQ(outputNames(), QStringList {QStringLiteral("report-001.jpg")});
    EXPECT_TRUE(QDir(temp.path()).entryList({QStringLiteral("quarnel-staging-*")}, QDir::AllEntries).isEmpty());
}

TEST_F(PassFixture, UserImagesInTheTemporaryFolderAreNeverTouched)
{
    temp.write(QStringLiteral("holiday.jpg"), "sunny");
    in.write(QStringLiteral("report.pdf"), "%PDF");
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    EXPECT_EQ(outputNames(), QStringList {QStringLiteral("report.jpg")});
    EXPECT_EQ(TempTree::read(temp.file(QStringLiteral("holiday.jpg"))), QByteArray("sunny"));
}

TEST_F(PassFixture, RowsWithAndWithoutSeparatorGiveTheSamePaths)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    inputs.rows = {in.path() + u'/', in.path()};
    pass.ConvertPDFs(true);
    const QString pdf = in.path() + QStringLiteral("/a.pdf");
    EXPECT_EQ(outcomes(),
              (QStringList {QStringLiteral("Converted ") + pdf,
                            QStringLiteral("No new files or changes to convert ") + pdf}));
}

TEST_F(PassFixture, ConvertedPdfIsSkippedUntilItChanges)
{
    const QString pdf = in.write(QStringLiteral("a.pdf"), "%PDF");
    setModified(pdf, fakes.clock.current.addSecs(-60));
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    pass.ConvertPDFs(false);
    EXPECT_EQ(informs(), QStringList {QStringLiteral("No new files or changes to convert.")});
    EXPECT_EQ(method.converted.size(), 1);
    setModified(pdf, fakes.clock.current.addSecs(5)); // touched after its conversion
    pass.ConvertPDFs(true);
    EXPECT_EQ(method.converted.size(), 2);
    EXPECT_EQ(
        outcomes(),
        (QStringList {QStringLiteral("Converted ") + pdf, QStringLiteral("No new files or changes to convert ") + pdf,
                      QStringLiteral("Converted ") + pdf}));
    EXPECT_EQ(outputNames(), (QStringList {"a.jpg", "a1.jpg"}));
}

TEST_F(PassFixture, FailuresAreLoggedAndShownOnlyWhenNotSilent)
{
    in.write(QStringLiteral("bad.pdf"), "%PDF");
    method.failing = {QStringLiteral("bad.pdf")};
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    EXPECT_TRUE(fakes.messages.boxes.empty());
    pass.ConvertPDFs(false);
    const QString pdf = in.path() + QStringLiteral("/bad.pdf");
    EXPECT_EQ(informs(), QStringList {QStringLiteral("Could not create JPG on ") + pdf}); // no closing message
    EXPECT_EQ(outcomes(), QStringList(2, QStringLiteral("Could not create JPG on ") + pdf));
    EXPECT_TRUE(outputNames().isEmpty());
}

TEST_F(PassFixture, EveryPassLogsEachUnchangedPdfAsSkippedAlsoAcrossARestart)
{
    const QString pdf = in.write(QStringLiteral("a.pdf"), "%PDF");
    setModified(pdf, fakes.clock.current.addSecs(-60));
    inputs.rows = {in.path()};
    for (int i = 0; i < 4; ++i)
        pass.ConvertPDFs(true);
    // The program starts again over the same log: the PDF is still converted, and still logged.
    ConversionPass restarted(inputs, options, fakes.messages, fakes.clock, logPath());
    restarted.setMethod(Method::Ghostscript, &method);
    restarted.ConvertPDFs(true);
    restarted.ConvertPDFs(true);
    const QString skipped = QStringLiteral("No new files or changes to convert ") + pdf;
    EXPECT_EQ(outcomes(), QStringList {QStringLiteral("Converted ") + pdf} + QStringList(5, skipped));
    EXPECT_EQ(method.converted.size(), 1);
}

TEST_F(PassFixture, IgnoredNamesAndQuietSkipsLeaveNoLine)
{
    // A Mac's AppleDouble twin, a listed recycle bin, and skipped PDFs logged only while asked for.
    const QString pdf = in.write(QStringLiteral("a.pdf"), "%PDF");
    in.write(QStringLiteral("._a.pdf"), "\0\5\26\7");
    const QString bin = in.mkdir(QStringLiteral("#recycle"));
    in.write(QStringLiteral("#recycle/old.pdf"), "%PDF");
    for (const QString& file : {pdf, in.file(QStringLiteral("._a.pdf")), in.file(QStringLiteral("#recycle/old.pdf"))})
        setModified(file, fakes.clock.current.addSecs(-60));
    inputs.rows = {in.path(), bin};
    inputs.ignore = {QStringLiteral("._*"), QStringLiteral("#RECYCLE")};
    pass.ConvertPDFs(true);
    pass.ConvertPDFs(true);
    inputs.logSkippedPdfs = false;
    pass.ConvertPDFs(true);
    EXPECT_EQ(outcomes(),
              (QStringList {QStringLiteral("Converted ") + pdf,
                            QStringLiteral("No new files or changes to convert ") + pdf}));
    EXPECT_EQ(method.converted.size(), 1);
    // Skipped without a line, it is still known as converted.
    ConversionPass restarted(inputs, options, fakes.messages, fakes.clock, logPath());
    restarted.setMethod(Method::Ghostscript, &method);
    restarted.ConvertPDFs(true);
    EXPECT_EQ(method.converted.size(), 1);
}

TEST_F(PassFixture, APdfThatFailsInEveryPassIsLoggedAndShownInEveryPass)
{
    const QString bad = in.write(QStringLiteral("bad.pdf"), "%PDF");
    setModified(bad, fakes.clock.current.addSecs(-60));
    method.failing = {QStringLiteral("bad.pdf")};
    inputs.rows = {in.path()};
    for (int i = 0; i < 5; ++i)
        pass.ConvertPDFs(false);
    pass.ConvertPDFs(true);
    const QString failedLine = QStringLiteral("Could not create JPG on ") + bad;
    EXPECT_EQ(method.converted.count(bad), 6);
    EXPECT_EQ(informs(), QStringList(5, failedLine));
    EXPECT_EQ(outcomes(), QStringList(6, failedLine));
}

// Changes are told by the file, not by clocks: a PDF dated ahead of the clock (a file server whose clock
// runs fast) is converted once, and a time-zone change between runs neither hides a change nor converts
// anything again.
TEST_F(PassFixture, ClocksAndTimeZonesNeitherHideAChangeNorConvertAgain)
{
    const QByteArray zone = qgetenv("TZ");
    const auto setZone = [](const char* name) {
        qputenv("TZ", name);
        ::tzset();
    };
    const QString ahead = in.write(QStringLiteral("ahead.pdf"), "%PDF");
    setModified(ahead, fakes.clock.current.addSecs(3600));
    inputs.rows = {in.path()};
    for (int i = 0; i < 4; ++i)
        pass.ConvertPDFs(true);
    EXPECT_EQ(method.converted.count(ahead), 1);

    const QString east = in.write(QStringLiteral("east.pdf"), "%PDF");
    const QString west = in.write(QStringLiteral("west.pdf"), "%PDF");
    for (const QString& pdf : {east, west})
        setModified(pdf, fakes.clock.current.addSecs(-60));
    // Converted far east, then the machine moves west: an hour later, one PDF changes.
    setZone("Asia/Tokyo");
    ConversionPass tokyo(inputs, options, fakes.messages, fakes.clock, logPath());
    tokyo.setMethod(Method::Ghostscript, &method);
    tokyo.ConvertPDFs(true);
    setZone("America/New_York");
    setModified(west, fakes.clock.current.addSecs(3600));
    fakes.clock.current = fakes.clock.current.addSecs(7200);
    ConversionPass newYork(inputs, options, fakes.messages, fakes.clock, logPath());
    newYork.setMethod(Method::Ghostscript, &method);
    newYork.ConvertPDFs(true);
    // ... and back east again, with nothing changed.
    setZone("Asia/Tokyo");
    ConversionPass again(inputs, options, fakes.messages, fakes.clock, logPath());
    again.setMethod(Method::Ghostscript, &method);
    again.ConvertPDFs(true);
    zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
    ::tzset();
    EXPECT_EQ(method.converted.count(east), 1);
    EXPECT_EQ(method.converted.count(west), 2);
    EXPECT_EQ(method.converted.count(ahead), 1);
}

TEST_F(PassFixture, ARestartUnderOtherRegionalSettingsConvertsNothingAgain)
{
    const QString pdf = in.write(QStringLiteral("a.pdf"), "%PDF");
    // Early March, early in the afternoon: day and month could be swapped, and the hour read as 12-hour.
    fakes.clock.current = QDateTime(QDate(2026, 3, 5), QTime(14, 7, 9));
    setModified(pdf, fakes.clock.current.addSecs(-60));
    inputs.rows = {in.path()};
    const QStringList locales = {"C", "en_US", "en_GB", "de_DE", "fr_FR", "ja_JP", "en_IN"};
    for (const QString& written : locales) {
        for (const QString& read : locales) {
            QFile::remove(logPath());
            QLocale::setDefault(written == u"C" ? QLocale::c() : QLocale(written));
            ConversionPass first(inputs, options, fakes.messages, fakes.clock, logPath());
            first.setMethod(Method::Ghostscript, &method);
            first.ConvertPDFs(true);
            QLocale::setDefault(read == u"C" ? QLocale::c() : QLocale(read));
            ConversionPass second(inputs, options, fakes.messages, fakes.clock, logPath());
            second.setMethod(Method::Ghostscript, &method);
            ASSERT_TRUE(second.PreviousConverted(pdf)) << qPrintable(written + u'>' + read);
            // A save two minutes after that conversion is a change, whichever way the date reads.
            setModified(pdf, fakes.clock.current.addSecs(120));
            EXPECT_FALSE(second.PreviousConverted(pdf)) << qPrintable(written + u'>' + read);
            setModified(pdf, fakes.clock.current.addSecs(-60));
        }
    }
    QLocale::setDefault(QLocale::system());
    EXPECT_EQ(method.converted.size(), locales.size() * locales.size());
}

TEST_F(PassFixture, ClosingMessageFollowsTheLastPdf)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    pass.setMethod(Method::Ghostscript, &method);
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    in.write(QStringLiteral("b.pdf"), "%PDF");
    method.failing = {QStringLiteral("b.pdf")};
    pass.ConvertPDFs(false);
    // Whichever order the folder lists them in, nothing was converted: at most the skip message.
    const QStringList shown = informs();
    EXPECT_FALSE(shown.contains(QStringLiteral("Done.")));
    EXPECT_TRUE(shown.contains(QStringLiteral("Could not create JPG on ") + in.path() + QStringLiteral("/b.pdf")));
}

TEST_F(PassFixture, VanishedPdfAndUnselectedMethodAreFailures)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    inputs.rows = {in.path()};
    method.during = [](const QString& pdf) { QFile::remove(pdf); };
    pass.ConvertPDFs(true);
    options.method = Method::None;
    in.write(QStringLiteral("b.pdf"), "%PDF");
    method.during = nullptr;
    pass.ConvertPDFs(true);
    const QStringList results = outcomes();
    ASSERT_EQ(results.size(), 2);
    EXPECT_TRUE(results[0].startsWith(QStringLiteral("Could not create JPG on ")));
    EXPECT_TRUE(results[1].startsWith(QStringLiteral("Could not create JPG on ")));
}

TEST_F(PassFixture, ImagesThatCannotBePlacedLeaveThePdfForTheNextPass)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    inputs.rows = {in.path()};
    method.during = [this](const QString&) { QDir(out.path()).removeRecursively(); };
    pass.ConvertPDFs(false);
    ASSERT_EQ(errorReports().size(), 1);
    EXPECT_TRUE(errorReports()[0].contains(QStringLiteral("Form1.ConvertPDFs at line 144")));
    const QString pdf = in.path() + QStringLiteral("/a.pdf");
    EXPECT_EQ(outcomes(), QStringList {QStringLiteral("Could not create JPG on ") + pdf});
    EXPECT_TRUE(QDir(temp.path()).entryList({QStringLiteral("quarnel-staging-*")}, QDir::AllEntries).isEmpty());

    QDir().mkpath(out.path());
    method.during = nullptr;
    pass.ConvertPDFs(true);
    EXPECT_EQ(outputNames(), QStringList {QStringLiteral("a.jpg")});
}

// The methods of a whole pass hand their images over in one folder: what one PDF leaves there (pages
// that could not be placed, a method's scratch file, a folder) is gone before the next PDF's turn.
TEST_F(PassFixture, WhatOnePdfLeavesInTheHandOverFolderIsNeverTakenForTheNext)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    in.write(QStringLiteral("b.pdf"), "%PDF");
    inputs.rows = {in.path()};
    method.pages = 2;
    method.tildeFile = true;
    QString stagingOfA;
    method.during = [&](const QString& pdf) {
        const QStringList staging = QDir(temp.path()).entryList({QStringLiteral("quarnel-staging-*")}, QDir::Dirs);
        ASSERT_EQ(staging.size(), 1);
        if (pdf.endsWith(QStringLiteral("a.pdf"))) {
            stagingOfA = temp.file(staging.front());
            QDir().mkpath(stagingOfA + QStringLiteral("/scratch folder"));
            QDir(out.path()).removeRecursively(); // a's pages cannot be placed
        } else {
            EXPECT_EQ(temp.file(staging.front()), stagingOfA);
            EXPECT_TRUE(QDir(stagingOfA).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
            QDir().mkpath(out.path());
        }
    };
    pass.ConvertPDFs(true);
    EXPECT_EQ(outputNames(), (QStringList {"b-001.jpg", "b-002.jpg"}));
    EXPECT_FALSE(QFileInfo::exists(stagingOfA));
}

TEST_F(PassFixture, OnePageThatCannotBePlacedFailsThePdfWhateverPageItIs)
{
    // The longest name the file system takes: the first page's name is already used in the output
    // folder, and its numbered name is one byte too long, so only that page cannot be placed.
    const QString stem(247, u'n');
    in.write(stem + QStringLiteral(".pdf"), "%PDF");
    out.write(stem + QStringLiteral("-001.jpg"), "the user's own");
    inputs.rows = {in.path()};
    method.pages = 3;
    pass.ConvertPDFs(true);
    const QString pdf = in.path() + u'/' + stem + QStringLiteral(".pdf");
    EXPECT_EQ(outcomes(), QStringList {QStringLiteral("Could not create JPG on ") + pdf});
    // The pages placed before it are taken back; the user's own file stays.
    EXPECT_EQ(outputNames(), QStringList {stem + "-001.jpg"});
    EXPECT_EQ(TempTree::read(out.file(stem + QStringLiteral("-001.jpg"))), "the user's own");
}

TEST_F(PassFixture, AnEndDuringTheMethodRemovesTheStagingFolderItWorksIn)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    inputs.rows = {in.path()};
    const auto staged
        = [this] { return QDir(temp.path()).entryList({QStringLiteral("quarnel-staging-*")}, QDir::Dirs).size(); };
    qsizetype during = -1;
    qsizetype afterEnd = -1;
    method.during = [&](const QString&) {
        during = staged();
        EndRunningBatch(); // what SIGTERM or the session's end does now
        afterEnd = staged();
    };
    pass.ConvertPDFs(true);
    EXPECT_EQ(during, 1);
    EXPECT_EQ(afterEnd, 0);
    EXPECT_TRUE(outputNames().isEmpty());
}

// SIGTERM, closing the window or the session's end while converted PDFs wait to be written together:
// their images and lines are written before the end.
TEST_F(PassFixture, AnEndAskedForWhileImagesWaitWritesThemFirst)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    in.write(QStringLiteral("b.pdf"), "%PDF");
    inputs.rows = {in.path()};
    method.pages = 30;
    QStringList placedAtEnd;
    QStringList logAtEnd;
    const std::function<void()> end = [&] {
        pass.flushNow(); // what the window's end does
        placedAtEnd = outputNames();
        logAtEnd = outcomes();
    };
    method.during = [&](const QString& pdf) {
        if (pdf.endsWith(QStringLiteral("b.pdf")) && !DeferEnd(end))
            end();
    };
    pass.ConvertPDFs(true);
    EXPECT_EQ(placedAtEnd.size(), 30);
    EXPECT_EQ(logAtEnd, QStringList {QStringLiteral("Converted ") + in.file(QStringLiteral("a.pdf"))});
}

// A run killed outright (kill -9, a power cut) in the middle of placing a PDF's images: the next pass
// takes back what was placed and converts the PDF again, so that every page is there once, under the
// name a fresh conversion gives it.
TEST_F(PassFixture, APlacementCutShortByAKillIsUndoneAndThePdfConvertedOnce)
{
    in.write(QStringLiteral("long.pdf"), "%PDF");
    inputs.rows = {in.path()};
    method.pages = 40;
    const pid_t run = ::fork();
    ASSERT_GE(run, 0);
    if (run == 0) {
        SetPlacementProbe([](int placed) {
            if (placed == 7)
                ::_exit(0);
        });
        pass.ConvertPDFs(true);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(run, &status, 0), run);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run was not cut short while placing";
    ASSERT_EQ(outputNames().filter(QRegularExpression(QStringLiteral("^long-"))).size(), 7);
    EXPECT_TRUE(outcomes().isEmpty());

    ConversionPass restarted(inputs, options, fakes.messages, fakes.clock, logPath());
    restarted.setMethod(Method::Ghostscript, &method);
    restarted.ConvertPDFs(true);
    QStringList expected;
    for (int page = 1; page <= 40; ++page)
        expected.append(QStringLiteral("long-%1.jpg").arg(page, 3, 10, QChar(u'0')));
    EXPECT_EQ(outputNames(), expected);
    EXPECT_EQ(outcomes(), QStringList {QStringLiteral("Converted ") + in.file(QStringLiteral("long.pdf"))});
}

// Notes of converted versions that cannot be written or read (here a folder stands in their place): said
// once a run, and changes are told by the log's times meanwhile.
TEST_F(PassFixture, UnusableVersionNotesAreReportedOnceAndTheTimesDecide)
{
    const QString pdf = in.write(QStringLiteral("a.pdf"), "%PDF");
    setModified(pdf, fakes.clock.current.addSecs(-60));
    inputs.rows = {in.path()};
    ASSERT_TRUE(QDir().mkdir(logPath() + QStringLiteral(".versions")));
    pass.ConvertPDFs(true);
    pass.ConvertPDFs(true);
    setModified(pdf, fakes.clock.current);
    fakes.clock.current = fakes.clock.current.addSecs(60);
    pass.ConvertPDFs(true);
    EXPECT_EQ(errorReports().size(), 1) << qPrintable(errorReports().join(u'\n'));
    EXPECT_EQ(
        outcomes(),
        (QStringList {QStringLiteral("Converted ") + pdf, QStringLiteral("No new files or changes to convert ") + pdf,
                      QStringLiteral("Converted ") + pdf}));
}

// Images whose "Converted" line cannot be written would be placed again by the next pass: they are taken
// back, and the error is reported.
TEST_F(PassFixture, ImagesWhoseLineCannotBeLoggedAreTakenBack)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    inputs.rows = {in.path()};
    method.pages = 3;
    method.during = [this](const QString&) {
        QFile::remove(logPath());
        QDir().mkdir(logPath()); // the log can no longer be written
    };
    pass.ConvertPDFs(true);
    EXPECT_TRUE(outputNames().isEmpty());
    EXPECT_FALSE(errorReports().filter(QStringLiteral("Main.AppendStringFSO")).isEmpty());
}

TEST_F(PassFixture, LogClearedMidPassGetsTheRestOfThePass)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    in.write(QStringLiteral("b.pdf"), "%PDF");
    inputs.rows = {in.path()};
    int calls = 0;
    method.during = [&](const QString&) {
        if (++calls == 2) {
            pass.flushNow(); // as "Clear Log and Convert Again" does
            QFile::remove(logPath());
            QFile log(logPath());
            ASSERT_TRUE(log.open(QIODevice::WriteOnly));
            log.write("Started again\r\n");
        }
    };
    pass.ConvertPDFs(true);
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("Started again"));
    EXPECT_TRUE(lines[1].contains(QStringLiteral(" : Converted ")));
    pass.ConvertPDFs(true); // the first PDF's line went with the old log: it is converted again
    EXPECT_EQ(method.converted.size(), 3);
}

TEST_F(PassFixture, ProgressClimbsPerFolderAndASecondPassWaits)
{
    in.write(QStringLiteral("one/a.pdf"), "%PDF");
    in.write(QStringLiteral("one/b.pdf"), "%PDF");
    in.write(QStringLiteral("two/c.pdf"), "%PDF");
    inputs.rows = {in.file(QStringLiteral("one")), in.file(QStringLiteral("two"))};
    method.during = [this](const QString&) { pass.ConvertPDFs(true); }; // a nested start is refused
    pass.ConvertPDFs(true);
    EXPECT_EQ(inputs.progress, (std::vector<int> {25, 50, 100, 0}));
    EXPECT_EQ(method.converted.size(), 3);
    EXPECT_FALSE(pass.running());
}

TEST_F(PassFixture, NamesWithLineEndsStayOnOneLogLineAndAreSkippedLater)
{
    // A line end, and the symbols the log writes for line ends (and for itself), each its own name.
    const QStringList names
        = {QStringLiteral("two\nlines.pdf"), QStringLiteral("two\u240Alines.pdf"),
           QStringLiteral("two\u241B\u240Alines.pdf"), QStringLiteral("cr\r.pdf"), QStringLiteral("cr\u240D.pdf")};
    for (const QString& name : names)
        in.write(name, "%PDF");
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    pass.ConvertPDFs(true);
    EXPECT_EQ(method.converted.size(), names.size());
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 2 * names.size());
    EXPECT_EQ(lines.filter(QStringLiteral(" : Converted ")).size(), names.size());
    EXPECT_EQ(lines.filter(QStringLiteral(" : No new files or changes to convert ")).size(), names.size());
    EXPECT_TRUE(lines.contains(LogLine::converted(lines[0].section(QStringLiteral(" : "), 0, 0), in.file(names[0]))));
    EXPECT_TRUE(LogLine::converted(QString(), in.file(names[0])).endsWith(QStringLiteral("/two\u240Alines.pdf")));
}

TEST_F(PassFixture, APipeNamedLikeAPdfIsPassedOver)
{
    ASSERT_EQ(::mkfifo(qPrintable(in.file(QStringLiteral("pipe.pdf"))), 0600), 0);
    in.write(QStringLiteral("real.pdf"), "%PDF");
    inputs.rows = {in.path()};
    pass.ConvertPDFs(true);
    EXPECT_EQ(method.converted, QStringList {in.file(QStringLiteral("real.pdf"))});
}

TEST_F(PassFixture, ALogThatCannotBeAppendedToStopsEveryPassBeforeItConverts)
{
    in.write(QStringLiteral("a.pdf"), "%PDF");
    inputs.rows = {in.path()};
    // Something that is not the program's log file stands in its place: a folder, then a link planted
    // by someone else (pointing at a file with a forged converted line, which must not be trusted either).
    QDir().mkdir(logPath());
    for (int i = 0; i < 3; ++i)
        pass.ConvertPDFs(true);
    EXPECT_TRUE(method.converted.isEmpty());
    EXPECT_TRUE(outputNames().isEmpty());
    ASSERT_EQ(errorReports().size(), 3) << "one report per pass, not one per PDF";
    EXPECT_TRUE(errorReports()[0].contains(QStringLiteral("Form1.ConvertPDFs at line 111")));
    EXPECT_TRUE(inputs.busyCalls.empty());

    QDir().rmdir(logPath());
    const QString forged = temp.write(QStringLiteral("forged.log"), "x");
    ASSERT_EQ(::symlink(QFile::encodeName(forged).constData(), QFile::encodeName(logPath()).constData()), 0);
    pass.ConvertPDFs(true);
    EXPECT_TRUE(method.converted.isEmpty());
    EXPECT_EQ(TempTree::read(forged), QByteArray("x"));
}

TEST_F(PassFixture, APdfStillBeingWrittenIsWaitedForAndFailsOnlyWhenItNeverSettles)
{
    const QString pdf = in.write(QStringLiteral("arriving.pdf"), "%PDF");
    inputs.rows = {in.path()};
    setModified(pdf, fakes.clock.current.addSecs(-1));
    pass.ConvertPDFs(false);
    EXPECT_EQ(fakes.clock.waited, std::chrono::seconds(kSettleSeconds - 1));
    EXPECT_EQ(method.converted, QStringList {pdf});
    EXPECT_EQ(outputNames(), QStringList {QStringLiteral("arriving.jpg")});
    EXPECT_EQ(informs(), QStringList {QStringLiteral("Done.")});

    // Written to every second for 40 seconds: given up after the limit, and tried again next pass.
    const QString growing = in.write(QStringLiteral("growing.pdf"), "%PDF");
    const QDateTime began = fakes.clock.current;
    fakes.clock.onWait = [&] {
        if (fakes.clock.current < began.addSecs(40))
            setModified(growing, fakes.clock.current.addMSecs(-500));
    };
    setModified(growing, fakes.clock.current);
    pass.ConvertPDFs(false);
    const QString failedLine = QStringLiteral("Could not create JPG on ") + growing;
    EXPECT_FALSE(method.converted.contains(growing));
    EXPECT_EQ(outcomes().last(), failedLine);
    EXPECT_EQ(informs().last(), failedLine);
    EXPECT_GE(fakes.clock.current, began.addSecs(kSettleLimitSeconds));
    EXPECT_LT(fakes.clock.current, began.addSecs(kSettleLimitSeconds + 1));
    pass.ConvertPDFs(true);
    EXPECT_EQ(method.converted.count(growing), 1);
    EXPECT_GE(fakes.clock.current, began.addSecs(40));
}

TEST_F(PassFixture, ASaveDuringOrJustAfterTheConversionStartedIsAChange)
{
    const QString pdf = in.write(QStringLiteral("a.pdf"), "%PDF");
    setModified(pdf, fakes.clock.current.addSecs(-60));
    inputs.rows = {in.path()};
    const QDateTime started = fakes.clock.current;
    // The conversion takes two minutes; the converted line still carries the time it began.
    method.during = [this](const QString&) { fakes.clock.current = fakes.clock.current.addSecs(120); };
    pass.ConvertPDFs(true);
    ASSERT_EQ(logLines().size(), 1);
    EXPECT_EQ(logLines()[0], LogLine::converted(LogDateTimeText(started, QLocale::system()), pdf));

    // Saved within the very second the conversion began (the log keeps whole seconds): converted again.
    method.during = nullptr;
    setModified(pdf, started);
    pass.ConvertPDFs(true);
    EXPECT_EQ(method.converted.size(), 2);
}

TEST_F(PassFixture, APdfThatChangesWhileConvertedFailsAndIsConvertedWholeNextPass)
{
    const QString pdf = in.write(QStringLiteral("copying.pdf"), "%PDF-1.7 first half");
    setModified(pdf, fakes.clock.current.addSecs(-60));
    inputs.rows = {in.path()};
    method.during = [&](const QString&) {
        QFile grow(pdf);
        if (grow.open(QIODevice::Append))
            grow.write(" and the second half");
    };
    pass.ConvertPDFs(false);
    EXPECT_EQ(method.converted.size(), 1);
    EXPECT_TRUE(outputNames().isEmpty());
    EXPECT_EQ(outcomes(), QStringList {QStringLiteral("Could not create JPG on ") + pdf});
    EXPECT_EQ(informs(), QStringList {QStringLiteral("Could not create JPG on ") + pdf});
    EXPECT_TRUE(QDir(temp.path()).entryList({QStringLiteral("quarnel-staging-*")}, QDir::AllEntries).isEmpty());

    method.during = nullptr;
    setModified(pdf, fakes.clock.current.addSecs(-30));
    pass.ConvertPDFs(true);
    pass.ConvertPDFs(true);
    EXPECT_EQ(method.converted.size(), 2);
    EXPECT_EQ(outputNames(), QStringList {QStringLiteral("copying.jpg")});
}

TEST_F(PassFixture, ImagesCopiedAcrossFileSystemsArriveWhole)
{
    // Staging in memory (tmpfs), output on disk: placement cannot link and must copy every byte.
    QTemporaryDir memory(QStringLiteral("/dev/shm/quarnel-test-XXXXXX"));
    struct stat staged = {};
    struct stat placed = {};
    if (!memory.isValid() || ::stat("/dev/shm", &staged) != 0 || ::stat(QFile::encodeName(out.path()), &placed) != 0
        || staged.st_dev == placed.st_dev)
        GTEST_SKIP() << "no second file system for the temporary folder here";
    qputenv("TEMP", memory.path().toUtf8());
    pass.setLogFilePath(memory.filePath(QStringLiteral("DEV2IVI.log")));
    const QString pdf = in.write(QStringLiteral("scan.pdf"), "%PDF");
    setModified(pdf, fakes.clock.current.addSecs(-60));
    inputs.rows = {in.path()};
    method.pages = 3;
    method.imageSize = 300 * 1024;
    pass.ConvertPDFs(true);
    ASSERT_EQ(outputNames(), (QStringList {"scan-001.jpg", "scan-002.jpg", "scan-003.jpg"}));
    for (int page = 1; page <= 3; ++page)
        EXPECT_EQ(TempTree::read(out.file(QStringLiteral("scan-00%1.jpg").arg(page))), method.imageBytes(page))
            << "page " << page;
    EXPECT_TRUE(errorReports().isEmpty());
}

TEST_F(PassFixture, PassesAskedForFromOutsideWaitForTheRunningOneAndShareTheNext)
{
    in.write(QStringLiteral("a.pdf"), "%PDF-1.4");
    in.write(QStringLiteral("b.pdf"), "%PDF-1.4");
    inputs.rows = {in.path() + u'/'};
    method.failing = {QStringLiteral("b.pdf")};
    PassQueue queue(pass);
    std::vector<QStringList> heard(3);
    std::vector<PassSummary> summaries(3);
    int drained = 0;
    QObject::connect(&queue, &PassQueue::drained, [&] { ++drained; });
    const auto ask = [&](int who) {
        return queue.request([&heard, who](const QString& line) { heard[who].append(line); },
                             [&summaries, who](const PassSummary& summary) { summaries[who] = summary; });
    };
    // Two ask while a pass runs (converting a.pdf): they wait for it, then share one pass; one asker
    // goes away before that pass and hears nothing.
    bool askedDuring = false;
    method.during = [&](const QString&) {
        if (std::exchange(askedDuring, true))
            return;
        EXPECT_TRUE(pass.running());
        ask(1);
        queue.cancel(ask(2));
    };
    ask(0);
    ASSERT_TRUE(WaitServingEvents([&] { return drained == 1; }, 10s, 10ms));
    EXPECT_EQ(summaries[0].converted, 1);
    EXPECT_EQ(summaries[0].failed, 1);
    EXPECT_EQ(PassExitStatus(summaries[0]), 1);
    ASSERT_EQ(heard[0].size(), 2);
    EXPECT_TRUE(heard[0][0].endsWith(QStringLiteral(" : Converted ") + in.file(QStringLiteral("a.pdf"))));
    EXPECT_EQ(summaries[1].skipped, 1); // the next pass: a.pdf converted already
    EXPECT_EQ(summaries[1].failed, 1);
    EXPECT_EQ(heard[1].size(), 2);
    EXPECT_TRUE(heard[2].isEmpty());
    EXPECT_EQ(logLines().size(), 4);

    // A pass that cannot run, and one stopped before its end.
    inputs.rows.clear();
    ask(0);
    ASSERT_TRUE(WaitServingEvents([&] { return drained == 2; }, 10s, 10ms));
    EXPECT_FALSE(summaries[0].ran);
    EXPECT_EQ(PassExitStatus(summaries[0]), 3);
    EXPECT_EQ(summaries[0].refusal, QStringLiteral("No files or folders added."));
    inputs.rows = {in.path() + u'/'};
    method.failing.clear();
    method.during = [&](const QString&) { pass.stopAfterCurrentPdf(); };
    in.write(QStringLiteral("c.pdf"), "%PDF-1.4");
    ask(0);
    ASSERT_TRUE(WaitServingEvents([&] { return drained == 3; }, 10s, 10ms));
    EXPECT_TRUE(summaries[0].stopped);
    EXPECT_EQ(summaries[0].converted, 1); // b.pdf, then the stop
    EXPECT_EQ(PassExitStatus(summaries[0]), 3);
}
