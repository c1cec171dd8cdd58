#include "conversion/RenderClient.h"

#include "core/FileProcedures.h"
#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"
#include "render/RenderProtocol.h"
#include "samples/SamplePdf.h"
#include "support/TempTree.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

const QString kWorker = QStringLiteral(QUARNEL_BIN_DIR "/quarnel-render");
// The same worker built with the hooks that make it crash or hang on a page.
const QString kFaultyWorker = QStringLiteral(QUARNEL_FAULTY_RENDER);

QByteArray threePages()
{
    std::vector<samples::SamplePage> pages(3);
    for (int i = 0; i < 3; ++i)
        pages[static_cast<std::size_t>(i)].title = QStringLiteral("Page %1").arg(i + 1);
    return samples::MakeSamplePdf(pages);
}

int failures(const std::map<int, RenderClient::Outcome>& outcomes)
{
    int count = 0;
    for (const auto& [id, outcome] : outcomes)
        count += outcome.ok ? 0 : 1;
    return count;
}

// A PDF without a cross-reference table: opening it means reading each of its many objects to rebuild
// one, which takes the worker a good part of a second.
QByteArray slowToOpen()
{
    QByteArray pdf = "%PDF-1.4\n";
    for (int object = 1; object <= 200000; ++object)
        pdf += QByteArray::number(object) + " 0 obj\n<< /K " + QByteArray::number(object) + " >>\nendobj\n";
    return pdf;
}

// Renders one page at 72 dpi and gives the image's width; -1 when the page failed.
int renderedWidth(RenderClient& client, const QString& pdf, int page, const QString& target)
{
    client.submit(pdf, page, 72, 80, false, target);
    return failures(client.waitAll()) == 0 ? QImage(target).width() : -1;
}

// Ends the client's worker, if it has one (a process id of 0 would end this whole process group).
void killWorker(const RenderClient& client)
{
    if (client.workerProcessId() > 0)
        ::kill(static_cast<pid_t>(client.workerProcessId()), SIGKILL);
}

} // namespace

TEST(RenderClient, SurvivesAWorkerThatCrashes)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("doc.pdf"), threePages());
    qputenv("QUARNEL_RENDER_CRASH_PAGE", "2");
    RenderClient client(kFaultyWorker);
    ASSERT_EQ(client.pageCount(pdf), 3);
    const qint64 firstWorker = client.workerProcessId();
    for (int page = 0; page < 3; ++page)
        client.submit(pdf, page, 72, 80, false, tree.file(QStringLiteral("crash-%1.jpg").arg(page)));
    const auto crashed = client.waitAll();
    EXPECT_GE(failures(crashed), 1);
    EXPECT_FALSE(QFile::exists(tree.file(QStringLiteral("crash-1.jpg"))));
    qunsetenv("QUARNEL_RENDER_CRASH_PAGE");
    // The next document gets a new worker.
    EXPECT_EQ(renderedWidth(client, pdf, 1, tree.file(QStringLiteral("after.jpg"))), 612);
    EXPECT_NE(client.workerProcessId(), firstWorker);
}

TEST(RenderClient, APageThatHangsIsGivenUp)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("doc.pdf"), threePages());
    qputenv("QUARNEL_RENDER_HANG_PAGE", "1");
    // A worker that no longer answers at all is ended by the client ...
    RenderClient silent(kFaultyWorker);
    silent.setStallLimit(std::chrono::milliseconds(800));
    QElapsedTimer clock;
    clock.start();
    silent.submit(pdf, 0, 72, 80, false, tree.file(QStringLiteral("hang.jpg")));
    EXPECT_EQ(failures(silent.waitAll()), 1);
    EXPECT_LT(clock.elapsed(), 10000);
    // ... and a page that does not stop when asked is answered for by the worker a few seconds past its
    // time limit, and the worker replaced.
    RenderClient client(kFaultyWorker);
    client.setPageTimeLimit(std::chrono::seconds(1));
    const qint64 first = (client.pageCount(pdf), client.workerProcessId());
    clock.restart();
    client.submit(pdf, 0, 72, 80, false, tree.file(QStringLiteral("stuck.jpg")));
    const auto outcomes = client.waitAll();
    EXPECT_LT(clock.elapsed(), 15000); // 1 s, the grace of 3 s, and room for a loaded machine
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes.begin()->second.cutShort);
    EXPECT_TRUE(client.takeCutShort());
    qunsetenv("QUARNEL_RENDER_HANG_PAGE");
    EXPECT_EQ(renderedWidth(client, pdf, 2, tree.file(QStringLiteral("later.jpg"))), 612);
    EXPECT_NE(client.workerProcessId(), first);
    EXPECT_EQ(renderedWidth(silent, pdf, 2, tree.file(QStringLiteral("after.jpg"))), 612);
}

namespace {

// The highest peak of resident memory any worker of the client reached while the condition was awaited.
class WorkerPeak
{
public:
    explicit WorkerPeak(const RenderClient& client)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this, &client] {
            const QByteArray status = TempTree::read(QStringLiteral("/proc/%1/status").arg(client.workerProcessId()));
            const qsizetype at = status.indexOf("VmHWM:");
            if (at >= 0)
                m_peakKb = std::max(m_peakKb, status.mid(at + 6, 20).trimmed().split(' ').front().toLongLong());
        });
        m_timer.start(20);
    }
    qint64 megabytes() const { return m_peakKb / 1024; }

private:
    QTimer m_timer;
    qint64 m_peakKb = 0;
};

} // namespace

TEST(RenderClient, ABombCostsBoundedMemoryAndTimeAndLeavesAFreshWorker)
{
    TempTree tree;
    // 7 KB that inflate to 2 GB of drawing; four pages of it, drawn on every core at once.
    const QString bomb = tree.write(QStringLiteral("bomb.pdf"), samples::MakeDecompressionBomb(4, 2000000000));
    RenderClient client(kWorker);
    WorkerPeak peak(client);
    ASSERT_EQ(client.pageCount(bomb), 4);
    const qint64 first = client.workerProcessId();
    QElapsedTimer clock;
    clock.start();
    for (int page = 0; page < 4; ++page)
        client.submit(bomb, page, 300, 85, false, tree.file(QStringLiteral("bomb-%1.jpg").arg(page)));
    const auto outcomes = client.waitAll();
    EXPECT_LT(clock.elapsed(), 120000);
    EXPECT_EQ(failures(outcomes), 4);
    for (const auto& [id, outcome] : outcomes)
        EXPECT_FALSE(outcome.cutShort) << qPrintable(outcome.error); // the document's fault, not the worker's
    EXPECT_LT(peak.megabytes(), 1024);
    EXPECT_GT(peak.megabytes(), 100); // the sampler saw the worker at work
    EXPECT_TRUE(QDir(tree.path()).entryList({QStringLiteral("*.jpg")}).isEmpty());
    // What it took is given back: the next page is drawn by a new worker.
    const QString pdf = tree.write(QStringLiteral("doc.pdf"), threePages());
    EXPECT_EQ(renderedWidth(client, pdf, 0, tree.file(QStringLiteral("after.jpg"))), 612);
    EXPECT_NE(client.workerProcessId(), first);
    // A page tree claiming a negative number of pages is refused at once.
    clock.restart();
    EXPECT_THROW(
        client.pageCount(tree.write(QStringLiteral("negative.pdf"), samples::MakePdfClaimingPages(-2147483648LL))),
        RuntimeError);
    EXPECT_LT(clock.elapsed(), 10000);
}

TEST(RenderClient, TheProgramsOwnWorkerHasNoFaultHooks)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("doc.pdf"), threePages());
    qputenv("QUARNEL_RENDER_CRASH_PAGE", "1");
    qputenv("QUARNEL_RENDER_HANG_PAGE", "1");
    RenderClient client(kWorker);
    client.setStallLimit(std::chrono::milliseconds(5000));
    EXPECT_EQ(renderedWidth(client, pdf, 0, tree.file(QStringLiteral("first.jpg"))), 612);
    qunsetenv("QUARNEL_RENDER_CRASH_PAGE");
    qunsetenv("QUARNEL_RENDER_HANG_PAGE");
}

TEST(RenderClient, RefusesWhatItCannotOpen)
{
    TempTree tree;
    RenderClient client(kWorker);
    for (const QByteArray& bytes : {QByteArray(), QByteArray("%PDF-1.7\nnothing else"), QByteArray(4096, '\0')}) {
        const QString pdf = tree.write(QStringLiteral("bad.pdf"), bytes);
        EXPECT_THROW(client.pageCount(pdf), RuntimeError);
    }
    EXPECT_THROW(client.pageCount(tree.file(QStringLiteral("missing.pdf"))), RuntimeError);
    // A named pipe in a PDF's place is refused at once: never waited on, by the worker or the program.
    const QString pipe = tree.file(QStringLiteral("pipe.pdf"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QElapsedTimer timer;
    timer.start();
    EXPECT_THROW(client.pageCount(pipe), RuntimeError);
    EXPECT_LT(timer.elapsed(), 20000);
    // Names are never taken for anything but a path.
    const QString odd = tree.write(QStringLiteral("-rf; $(x) 'q\" %s\n.PDF"), threePages());
    EXPECT_EQ(client.pageCount(odd), 3);
}

TEST(RenderClient, EncryptedPdfNeedingAPasswordIsRefused)
{
    TempTree tree;
    const QString plain = tree.write(QStringLiteral("plain.pdf"), threePages());
    const QString locked = tree.file(QStringLiteral("locked.pdf"));
    const int made
        = QProcess::execute(QStringLiteral("gs"),
                            {QStringLiteral("-q"), QStringLiteral("-dNOPAUSE"), QStringLiteral("-dBATCH"),
                             QStringLiteral("-sDEVICE=pdfwrite"), QStringLiteral("-sOwnerPassword=owner"),
                             QStringLiteral("-sUserPassword=user"), QStringLiteral("-sOutputFile=") + locked, plain});
    if (made != 0)
        GTEST_SKIP() << "Ghostscript could not make an encrypted PDF here";
    RenderClient client(kWorker);
    try {
        client.pageCount(locked);
        FAIL() << "an encrypted PDF opened without its password";
    } catch (const RuntimeError& error) {
        EXPECT_TRUE(error.description().contains(QStringLiteral("password")));
    }
}

TEST(RenderClient, OversizedPagesAreRenderedWithinTheBound)
{
    TempTree tree;
    // 200 by 200 inches: 576 million pixels at 120 dpi, far over the bound.
    const QString pdf
        = tree.write(QStringLiteral("poster.pdf"),
                     samples::MakeSamplePdf({samples::SamplePage {{14400, 14400}, QStringLiteral("Poster"), {}}}));
    RenderClient client(kWorker);
    client.submit(pdf, 0, 120, 50, false, tree.file(QStringLiteral("poster.jpg")));
    EXPECT_EQ(failures(client.waitAll()), 0);
    QImageReader reader(tree.file(QStringLiteral("poster.jpg")));
    const QSize size = reader.size();
    EXPECT_LE(static_cast<double>(size.width()) * size.height(), 200e6);
    EXPECT_GT(static_cast<double>(size.width()) * size.height(), 190e6);
}

TEST(RenderClient, APdfReplacedUnderTheSameNameIsRenderedFromItsNewVersion)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("report.pdf"), samples::MakeSamplePdf({{}}));
    RenderClient client(kWorker);
    EXPECT_EQ(renderedWidth(client, pdf, 0, tree.file(QStringLiteral("old.jpg"))), 612);

    // Rewritten in place (a scanner saving again), then replaced by a rename (a download finishing).
    std::vector<samples::SamplePage> small(3);
    for (auto& page : small)
        page.size = {300, 300};
    tree.write(QStringLiteral("report.pdf"), samples::MakeSamplePdf(small));
    EXPECT_EQ(renderedWidth(client, pdf, 2, tree.file(QStringLiteral("rewritten.jpg"))), 300);

    small.resize(2);
    for (auto& page : small)
        page.size = {200, 200};
    const QString next = tree.write(QStringLiteral("next.pdf"), samples::MakeSamplePdf(small));
    ASSERT_EQ(::rename(QFile::encodeName(next).constData(), QFile::encodeName(pdf).constData()), 0);
    EXPECT_EQ(renderedWidth(client, pdf, 1, tree.file(QStringLiteral("renamed.jpg"))), 200);
}

TEST(RenderClient, WorkCutShortIsToldApartFromPagesTheDocumentRefuses)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("doc.pdf"), threePages());
    qputenv("QUARNEL_RENDER_CRASH_PAGE", "2");
    RenderClient client(kFaultyWorker);
    client.submit(pdf, 7, 72, 80, false, tree.file(QStringLiteral("none.jpg")));
    const auto refused = client.waitAll();
    ASSERT_EQ(failures(refused), 1);
    EXPECT_FALSE(refused.begin()->second.cutShort);
    EXPECT_FALSE(client.takeCutShort());

    for (int page = 0; page < 3; ++page)
        client.submit(pdf, page, 72, 80, false, tree.file(QStringLiteral("p%1.jpg").arg(page)));
    const auto crashed = client.waitAll();
    qunsetenv("QUARNEL_RENDER_CRASH_PAGE");
    EXPECT_TRUE(crashed.at(crashed.begin()->first + 1).cutShort);
    EXPECT_TRUE(client.takeCutShort());
    EXPECT_FALSE(client.takeCutShort()) << "the mark is cleared once taken";
}

TEST(RenderClient, APageCutShortWhileBeingWrittenNeverAppearsUnderItsName)
{
    TempTree tree;
    // Large enough to take a while to render and encode.
    const QString pdf
        = tree.write(QStringLiteral("poster.pdf"),
                     samples::MakeSamplePdf({samples::SamplePage {{14400, 14400}, QStringLiteral("Poster"), {}}}));
    RenderClient client(kWorker);
    const QString target = tree.file(QStringLiteral("poster.jpg"));
    client.submit(pdf, 0, 120, 50, false, target);
    const QString partial = tree.file(QStringLiteral(".~poster.jpg.part"));
    QElapsedTimer clock;
    clock.start();
    while (!QFile::exists(partial) && clock.elapsed() < 20000) {
        QCoreApplication::processEvents(); // the request goes out from the event loop
        QThread::msleep(2);
    }
    ASSERT_TRUE(QFile::exists(partial)) << "the page is written under a name of its own first";
    killWorker(client);
    const auto outcomes = client.waitAll();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes.begin()->second.ok);
    EXPECT_TRUE(outcomes.begin()->second.cutShort);
    EXPECT_FALSE(QFile::exists(target));
}

namespace {

// Whether the process is gone (or only waits to be reaped by whoever adopted it).
bool ended(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = status.readAll();
    const qsizetype state = line.lastIndexOf(')') + 2;
    return state < line.size() && (line[state] == 'Z' || line[state] == 'X');
}

bool endsWithin(pid_t pid, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!ended(pid) && clock.elapsed() < ms)
        QThread::msleep(20);
    return ended(pid);
}

} // namespace

TEST(RenderClient, TheWorkerDropsItsQueueWhenItsInputClosesAndEndsWithItsParent)
{
    TempTree tree;
    const QString pdf
        = tree.write(QStringLiteral("poster.pdf"),
                     samples::MakeSamplePdf({samples::SamplePage {{14400, 14400}, QStringLiteral("Poster"), {}}}));
    QProcess worker;
    worker.start(kWorker, {QString::number(QCoreApplication::applicationPid())});
    ASSERT_TRUE(worker.waitForStarted());
    for (int i = 0; i < 8; ++i)
        worker.write(QByteArray::fromStdString(
            render::EncodeMessage({"render", std::to_string(i), pdf.toStdString(), "0", "120", "50", "0",
                                   tree.file(QStringLiteral("p%1.jpg").arg(i)).toStdString()})));
    worker.waitForBytesWritten();
    worker.closeWriteChannel();
    EXPECT_TRUE(worker.waitForFinished(3000)) << "eight huge pages would take far longer";
    EXPECT_LT(QDir(tree.path()).entryList({QStringLiteral("p*.jpg")}).size(), 8);

    // A parent that ends without closing anything: the worker's input stays open (this test holds the
    // pipe), so only the kernel's parent-death signal can end it.
    int input[2];
    int report[2];
    ASSERT_EQ(::pipe(input), 0);
    ASSERT_EQ(::pipe(report), 0);
    const QByteArray program = QFile::encodeName(kWorker);
    const pid_t parent = ::fork();
    if (parent == 0) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(input[0], STDIN_FILENO);
            // No allocation between fork and exec in a process with threads.
            char digits[24] = {};
            char* at = digits + sizeof digits - 1;
            for (long value = ::getppid(); value > 0; value /= 10)
                *--at = static_cast<char>('0' + value % 10);
            ::execl(program.constData(), program.constData(), at, nullptr);
            ::_exit(127);
        }
        [[maybe_unused]] const ssize_t told = ::write(report[1], &child, sizeof child);
        ::usleep(300 * 1000);
        ::_exit(0);
    }
    pid_t orphan = 0;
    ASSERT_EQ(::read(report[0], &orphan, sizeof orphan), static_cast<ssize_t>(sizeof orphan));
    EXPECT_FALSE(ended(orphan)) << "the worker waits for work while its parent lives";
    int status = 0;
    ::waitpid(parent, &status, 0);
    EXPECT_TRUE(endsWithin(orphan, 3000));
    ::kill(orphan, SIGKILL);
    for (int fd : {input[0], input[1], report[0], report[1]})
        ::close(fd);
}

TEST(RenderClient, TheProgramsEndStopsTheWorkerBeforeItRemovesTheFolderItWritesInto)
{
    TempTree tree;
    // Large pages, so that the worker is still writing pages into the staging folder when the end comes.
    const QString pdf
        = tree.write(QStringLiteral("poster.pdf"),
                     samples::MakeSamplePdf({samples::SamplePage {{14400, 14400}, QStringLiteral("Poster"), {}}}));
    const QString staging = tree.mkdir(QStringLiteral("staging"));
    SetActiveStagingFolder(staging);
    RenderClient client(kWorker);
    for (int i = 0; i < 8; ++i)
        client.submit(pdf, 0, 150, 85, false, staging + QStringLiteral("/p%1.jpg").arg(i));
    const auto pid = static_cast<pid_t>(client.workerProcessId());
    ASSERT_GT(pid, 0);
    client.waitSome();

    EndConverters(); // what SIGTERM or the session's end does, before the program is gone
    SetActiveStagingFolder(QString());
    EXPECT_TRUE(ended(pid)) << "a worker left running would go on writing pages into the removed folder";
    QThread::msleep(300);
    EXPECT_FALSE(QFileInfo::exists(staging));
}

TEST(RenderClient, AnOpenWaitingWhenTheWorkerDiesFailsInsteadOfWaitingForEver)
{
    TempTree tree;
    // A PDF that takes long to open: the open is still pending when the worker is ended.
    const QString slow = tree.write(QStringLiteral("slow.pdf"), slowToOpen());
    RenderClient client(kWorker);
    client.submit(tree.write(QStringLiteral("doc.pdf"), threePages()), 0, 72, 80, false,
                  tree.file(QStringLiteral("first.jpg")));
    ASSERT_EQ(failures(client.waitAll()), 0);
    QTimer::singleShot(0, [&client] { killWorker(client); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(client.pageCount(slow), RuntimeError);
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(client.takeCutShort());
}

TEST(RenderClient, AWorkerThatStopsMakingSenseIsEndedAndItsWorkFails)
{
    // Stand-in workers: one replies without the page count, one sends a length no message can have
    // followed by what looks like a good reply.
    const std::vector<QByteArray> replies {"printf '\\010\\000\\000\\000opened\\000'; printf 1",
                                           "printf '\\377\\377\\377\\377\\010\\000\\000\\000opened\\000'; printf 1; "
                                           "printf '\\000'; printf 3; printf '\\000'; printf 1:2:3:4.5"};
    for (const QByteArray& reply : replies) {
        TempTree tree;
        const QString worker = tree.write(QStringLiteral("worker"), "#!/bin/sh\n" + reply + "\nexec sleep 60\n");
        QFile::setPermissions(worker, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        RenderClient client(worker);
        QElapsedTimer clock;
        clock.start();
        EXPECT_THROW(client.pageCount(tree.write(QStringLiteral("doc.pdf"), threePages())), RuntimeError)
            << reply.constData();
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_TRUE(client.takeCutShort());
    }
}

TEST(RenderWorker, ARequestItCannotReadEndsItInsteadOfLeavingTheProgramWaiting)
{
    for (const std::string& request :
         {render::EncodeMessage({"open", "1"}), std::string("\xff\xff\xff\x7f", 4) + render::EncodeMessage({"open"})}) {
        QProcess worker;
        worker.start(kWorker, {QString::number(QCoreApplication::applicationPid())});
        ASSERT_TRUE(worker.waitForStarted());
        worker.write(request.data(), static_cast<qint64>(request.size()));
        EXPECT_TRUE(worker.waitForFinished(5000));
        EXPECT_EQ(worker.exitCode(), 2);
        EXPECT_TRUE(worker.readAllStandardOutput().isEmpty());
    }
}

// The worker's threads named "render", once it has answered a first request.
int renderThreads(QProcess& worker)
{
    const std::string request = render::EncodeMessage({"open", "1", "/nonexistent/quarnel.pdf"});
    worker.write(request.data(), static_cast<qint64>(request.size()));
    if (!worker.waitForReadyRead(10000))
        return -1;
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(worker.processId()));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(tasks.filePath(task + QStringLiteral("/comm")));
        if (name.open(QIODevice::ReadOnly) && name.readAll().trimmed() == "render")
            ++count;
    }
    return count;
}

TEST(RenderWorker, RendersOnAsManyThreadsAsItHasCoresToRunOn)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    int first = 0;
    while (!CPU_ISSET(first, &allowed))
        ++first;
    // Confined to one core (as by taskset or a container), it renders on one thread.
    QProcess confined;
    confined.setChildProcessModifier([first] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        sched_setaffinity(0, sizeof one, &one);
    });
    confined.start(kWorker, {QString::number(QCoreApplication::applicationPid())});
    ASSERT_TRUE(confined.waitForStarted());
    EXPECT_EQ(renderThreads(confined), 1);
    // Free to run anywhere, on one thread a core, as far as the memory budget has room for a page each.
    QProcess free;
    free.start(kWorker, {QString::number(QCoreApplication::applicationPid())});
    ASSERT_TRUE(free.waitForStarted());
    const int cores = CPU_COUNT(&allowed);
    EXPECT_EQ(renderThreads(free), std::min<int>(cores, static_cast<int>(render::kRendererMemoryBytes / (48u << 20))));
    for (QProcess* worker : {&confined, &free}) {
        worker->closeWriteChannel();
        EXPECT_TRUE(worker->waitForFinished(5000));
    }
}

TEST(RenderClient, APageRenderedAheadIsHandedOverOnlyForTheSameVersionAndSettings)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("doc.pdf"), threePages());
    RenderClient client(kWorker);
    client.renderAhead(pdf, 72, 80, false, 2);
    const auto aheadFolders
        = [] { return QDir(TempFolder()).entryList({QStringLiteral("quarnel-ahead-*")}, QDir::Dirs); };
    WaitServingEvents(
        [&] {
            return aheadFolders().size() == 1
                && QDir(TempFolder() + u'/' + aheadFolders().front()).entryList({QStringLiteral("*.jpg")}).size() == 2;
        },
        std::chrono::seconds(20));
    WaitServingEvents([] { return false; }, std::chrono::milliseconds(1000)); // their replies read
    // With the worker gone, only a page rendered ahead can arrive without a new one.
    const qint64 worker = client.workerProcessId();
    ASSERT_GT(worker, 0);
    ::kill(static_cast<pid_t>(worker), SIGKILL);
    WaitServingEvents([] { return false; }, std::chrono::milliseconds(500));
    client.submit(pdf, 0, 72, 80, false, tree.file(QStringLiteral("first.jpg")));
    EXPECT_EQ(failures(client.waitAll()), 0);
    EXPECT_EQ(client.workerProcessId(), 0) << "no worker was started for it";
    EXPECT_EQ(QImage(tree.file(QStringLiteral("first.jpg"))).width(), 612);
    // Other settings, or the file changed since: rendered anew, from the file as it is now.
    client.submit(pdf, 1, 96, 80, false, tree.file(QStringLiteral("other.jpg")));
    EXPECT_EQ(failures(client.waitAll()), 0);
    EXPECT_NE(client.workerProcessId(), 0);
    std::vector<samples::SamplePage> wide(2);
    wide[0].size = wide[1].size = QSizeF(792, 612);
    const QByteArray replacement = samples::MakeSamplePdf(wide);
    client.renderAhead(pdf, 72, 80, false, 2);
    WaitServingEvents([] { return false; }, std::chrono::milliseconds(500));
    tree.write(QStringLiteral("doc.pdf"), replacement);
    EXPECT_EQ(renderedWidth(client, pdf, 1, tree.file(QStringLiteral("second.jpg"))), 792);
    client.forgetAhead();
    EXPECT_TRUE(aheadFolders().isEmpty());
}

TEST(RenderWorker, APdfSlowToOpenDoesNotHoldUpThePagesAskedForAfterIt)
{
    TempTree tree;
    const QString slowPdf = tree.write(QStringLiteral("slow.pdf"), slowToOpen());
    const QString quickPdf = tree.write(QStringLiteral("quick.pdf"), threePages());
    QProcess worker;
    worker.start(kWorker, {QString::number(QCoreApplication::applicationPid())});
    ASSERT_TRUE(worker.waitForStarted());
    const std::string requests = render::EncodeMessage({"open", "1", QFile::encodeName(slowPdf).toStdString()})
        + render::EncodeMessage({"render", "2", QFile::encodeName(quickPdf).toStdString(), "0", "72", "80", "0",
                                 QFile::encodeName(tree.file(QStringLiteral("page.jpg"))).toStdString()});
    worker.write(requests.data(), static_cast<qint64>(requests.size()));
    render::MessageReader reader;
    std::vector<std::string> order;
    render::Message reply;
    while (order.size() < 2 && worker.waitForReadyRead(30000)) {
        const QByteArray bytes = worker.readAllStandardOutput();
        reader.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        while (reader.next(reply))
            order.push_back(reply[0] + ' ' + reply[1]);
    }
    EXPECT_EQ(order, (std::vector<std::string> {"done 2", "opened 1"}));
    worker.closeWriteChannel();
    worker.waitForFinished(5000);
}

TEST(RenderClient, TheNextPdfIsRenderedAheadAsSoonAsThePagesBeforeItAreTaken)
{
    TempTree tree;
    const QString first = tree.write(QStringLiteral("first.pdf"), threePages());
    const QString second = tree.write(QStringLiteral("second.pdf"), threePages());
    RenderClient client(kWorker);
    client.setAheadLimit(2);
    client.renderAhead(first, 72, 80, false, 2);
    client.renderAhead(second, 72, 80, false, 2);
    const auto pagesAhead = [] {
        const QStringList folders = QDir(TempFolder()).entryList({QStringLiteral("quarnel-ahead-*")}, QDir::Dirs);
        return folders.size() != 1
            ? -1
            : static_cast<int>(QDir(TempFolder() + u'/' + folders.front()).entryList({QStringLiteral("*.jpg")}).size());
    };
    WaitServingEvents([&] { return pagesAhead() == 2; }, std::chrono::seconds(20));
    WaitServingEvents([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(pagesAhead(), 2) << "no more than the limit";
    // The first PDF's turn takes its pages: the room goes to the second at once, not at its own turn.
    client.submit(first, 0, 72, 80, false, tree.file(QStringLiteral("first-1.jpg")));
    client.submit(first, 1, 72, 80, false, tree.file(QStringLiteral("first-2.jpg")));
    EXPECT_EQ(failures(client.waitAll()), 0);
    EXPECT_TRUE(WaitServingEvents([&] { return pagesAhead() == 2; }, std::chrono::seconds(20)));
    WaitServingEvents([] { return false; }, std::chrono::milliseconds(1000)); // their replies read
    killWorker(client);
    WaitServingEvents([] { return false; }, std::chrono::milliseconds(500));
    client.submit(second, 1, 72, 80, false, tree.file(QStringLiteral("second-2.jpg")));
    EXPECT_EQ(failures(client.waitAll()), 0);
    EXPECT_EQ(client.workerProcessId(), 0) << "handed over, rendered before its turn";
    client.forgetAhead();
}

TEST(RenderClient, APdfWhoseTurnCameWhileItWasStillOpeningAheadIsLeftToItsTurn)
{
    TempTree tree;
    const QString quick = tree.write(QStringLiteral("quick.pdf"), threePages());
    const QString slow = tree.write(QStringLiteral("slow.pdf"), slowToOpen());
    RenderClient client(kWorker);
    client.renderAhead(quick, 72, 80, false, 1);
    client.renderAhead(slow, 72, 80, false, 1);
    WaitServingEvents([] { return false; }, std::chrono::milliseconds(300)); // the quick page rendered
    // The slow PDF's turn comes while it is still being opened ahead; taking the quick page then makes
    // room, and the slow PDF, its turn come, is no longer waiting for any.
    client.submit(slow, 0, 72, 80, false, tree.file(QStringLiteral("slow-1.jpg")));
    client.submit(quick, 0, 72, 80, false, tree.file(QStringLiteral("quick-1.jpg")));
    const auto outcomes = client.waitAll();
    EXPECT_EQ(failures(outcomes), 1) << "the slow PDF has no pages";
    EXPECT_EQ(QImage(tree.file(QStringLiteral("quick-1.jpg"))).width(), 612);
    // The late answer to the open asked for ahead is read, and the client still serves.
    WaitServingEvents([] { return false; }, std::chrono::milliseconds(1500));
    EXPECT_EQ(renderedWidth(client, quick, 1, tree.file(QStringLiteral("quick-2.jpg"))), 612);
    client.forgetAhead();
}
