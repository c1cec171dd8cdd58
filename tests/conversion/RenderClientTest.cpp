#include "conversion/RenderClient.h"

#include "core/RuntimeError.h"
#include "support/TempTree.h"
#include "tools/samples/SamplePdf.h"

#include <QElapsedTimer>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <gtest/gtest.h>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

const QString kWorker = QStringLiteral(QUARNEL_BIN_DIR "/quarnel-render");

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

} // namespace

TEST(RenderClient, SurvivesAWorkerThatCrashes)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("doc.pdf"), threePages());
    qputenv("QUARNEL_RENDER_CRASH_PAGE", "2");
    RenderClient client(kWorker);
    ASSERT_EQ(client.pageCount(pdf), 3);
    const qint64 firstWorker = client.workerProcessId();
    for (int page = 0; page < 3; ++page)
        client.submit(pdf, page, 72, 80, false, tree.file(QStringLiteral("crash-%1.jpg").arg(page)));
    const auto crashed = client.waitAll();
    EXPECT_GE(failures(crashed), 1);
    EXPECT_FALSE(QFile::exists(tree.file(QStringLiteral("crash-1.jpg"))));
    qunsetenv("QUARNEL_RENDER_CRASH_PAGE");
    // The next document gets a new worker.
    client.submit(pdf, 1, 72, 80, false, tree.file(QStringLiteral("after.jpg")));
    EXPECT_EQ(failures(client.waitAll()), 0);
    EXPECT_NE(client.workerProcessId(), firstWorker);
    EXPECT_EQ(QImage(tree.file(QStringLiteral("after.jpg"))).width(), 612);
}

TEST(RenderClient, APageThatHangsIsGivenUp)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("doc.pdf"), threePages());
    qputenv("QUARNEL_RENDER_HANG_PAGE", "1");
    RenderClient client(kWorker);
    client.setStallLimit(std::chrono::milliseconds(800));
    QElapsedTimer clock;
    clock.start();
    client.submit(pdf, 0, 72, 80, false, tree.file(QStringLiteral("hang.jpg")));
    EXPECT_EQ(failures(client.waitAll()), 1);
    EXPECT_LT(clock.elapsed(), 10000);
    qunsetenv("QUARNEL_RENDER_HANG_PAGE");
    client.submit(pdf, 2, 72, 80, false, tree.file(QStringLiteral("later.jpg")));
    EXPECT_EQ(failures(client.waitAll()), 0);
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
