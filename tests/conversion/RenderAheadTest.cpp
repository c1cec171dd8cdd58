#include "conversion/RenderAhead.h"

#include "support/TempTree.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

// Stands in for the worker: keeps what it was asked.
class RecordingLink final : public AheadLink
{
public:
    bool ensureStarted() override { return true; }
    int newId() override { return m_next++; }
    void send(const render::Request& request) override { sent.push_back(request); }
    std::vector<render::Request> sent;

private:
    int m_next = 1;
};

render::Reply opened(const render::Request& open, int pages)
{
    return {render::ReplyKind::Opened, open.id, pages, 0, 0, 0, render::FileVersionTextOf(open.path), {}};
}

// The page as the worker would leave it: written under its target, answered with the file's version.
render::Reply rendered(const render::Request& ahead)
{
    QFile file(QString::fromStdString(ahead.page.target));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("page " + QByteArray::number(ahead.page.page));
    return {render::ReplyKind::Done, ahead.id, 0, 10, 10, 72, render::FileVersionTextOf(ahead.path), {}};
}

const render::PageRequest kSettings {0, 150, 80, false, {}};

TEST(RenderAhead, CountsFirstThenAsksForPagesInOrderWithinItsLimit)
{
    TempTree tree;
    const std::string a = tree.write(QStringLiteral("a.pdf"), "a").toStdString();
    const std::string b = tree.write(QStringLiteral("b.pdf"), "b").toStdString();
    RecordingLink link;
    RenderAhead ahead(link, 3);
    ahead.ask(a, kSettings, -1);
    ahead.ask(b, kSettings, -1);
    ahead.ask(a, kSettings, -1); // asked already
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].kind, render::RequestKind::Open);
    EXPECT_TRUE(ahead.opening(a));
    ahead.answer(opened(link.sent[0], 2));
    EXPECT_EQ(ahead.knownCount(a), 2);
    // a's two pages, then b is counted, and its first page takes the last place.
    ASSERT_EQ(link.sent.size(), 4u);
    EXPECT_EQ(link.sent[1].kind, render::RequestKind::Ahead);
    EXPECT_EQ(link.sent[2].page.page, 1);
    EXPECT_EQ(link.sent[3].kind, render::RequestKind::Open);
    EXPECT_EQ(link.sent[3].path, b);
    ahead.answer(opened(link.sent[3], 5));
    ASSERT_EQ(link.sent.size(), 5u);
    EXPECT_EQ(link.sent[4].path, b);
    // A page taken makes room for the next.
    ahead.answer(rendered(link.sent[1]));
    EXPECT_EQ(ahead.claim({a, kSettings}, 100, tree.file(QStringLiteral("a-1.jpg"))), RenderAhead::Claim::HandedOver);
    ASSERT_EQ(link.sent.size(), 6u);
    EXPECT_EQ(link.sent[5].page.page, 1);
    EXPECT_EQ(link.sent[5].path, b);
}

// A three-page PDF asked for ahead and counted: its pages are on their way.
class ThreePagesAsked : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ahead.ask(pdf, kSettings, 3);
        ahead.answer(opened(link.sent[0], 3));
    }

    TempTree tree;
    const std::string pdf = tree.write(QStringLiteral("doc.pdf"), "one").toStdString();
    RecordingLink link;
    RenderAhead ahead {link, 8};
};

TEST_F(ThreePagesAsked, HandsOverOnlyTheVersionAskedForAndNeverOverAFile)
{
    ASSERT_EQ(link.sent.size(), 4u);
    for (int i = 1; i <= 2; ++i)
        ahead.answer(rendered(link.sent[static_cast<std::size_t>(i)]));
    render::PageRequest page = kSettings;

    // Same page, same version: its file is moved to the target.
    const QString first = tree.file(QStringLiteral("1.jpg"));
    EXPECT_EQ(ahead.claim({pdf, page}, 10, first), RenderAhead::Claim::HandedOver);
    EXPECT_EQ(TempTree::read(first), "page 0");
    // Other settings: not the page asked for.
    page.page = 1;
    page.quality = 90;
    EXPECT_EQ(ahead.claim({pdf, page}, 11, tree.file(QStringLiteral("x.jpg"))), RenderAhead::Claim::None);
    // A file already at the target stays; the page is left to be rendered.
    page.quality = kSettings.quality;
    const QString taken = tree.write(QStringLiteral("2.jpg"), "mine");
    EXPECT_EQ(ahead.claim({pdf, page}, 12, taken), RenderAhead::Claim::None);
    EXPECT_EQ(TempTree::read(taken), "mine");

    // Not rendered yet: the job waits and the page is hurried; the file changes meanwhile, so the page
    // that comes is not handed over.
    page.page = 2;
    const QString third = tree.file(QStringLiteral("3.jpg"));
    EXPECT_EQ(ahead.claim({pdf, page}, 13, third), RenderAhead::Claim::Waiting);
    EXPECT_EQ(link.sent.back().kind, render::RequestKind::Hurry);
    EXPECT_EQ(link.sent.back().id, link.sent[3].id);
    tree.write(QStringLiteral("doc.pdf"), "two, longer");
    const auto adopted = ahead.answer(rendered(link.sent[3]));
    ASSERT_TRUE(adopted.has_value());
    EXPECT_EQ(adopted->job, 13);
    EXPECT_FALSE(adopted->handedOver);
    EXPECT_FALSE(QFile::exists(third));
}

TEST_F(ThreePagesAsked, ForgettingAndALostWorkerDropWhatNoJobWaitsFor)
{
    const render::Reply page0 = rendered(link.sent[1]);
    ahead.answer(page0);
    const QString file0 = QString::fromStdString(link.sent[1].page.target);
    ASSERT_TRUE(QFile::exists(file0));
    // The worker goes: the pages on their way went with it, the rendered one stays.
    EXPECT_TRUE(ahead.workerLost());
    EXPECT_FALSE(ahead.owns(link.sent[2].id));
    EXPECT_TRUE(ahead.owns(page0.id));
    EXPECT_FALSE(ahead.workerLost());
    ahead.forget();
    EXPECT_FALSE(QFile::exists(file0));
    EXPECT_FALSE(ahead.owns(page0.id));
    EXPECT_FALSE(ahead.knownCount(pdf).has_value());
    // A PDF whose pages were asked for now is not asked for ahead again.
    ahead.askedNow(pdf);
    const std::size_t before = link.sent.size();
    ahead.ask(pdf, kSettings, -1);
    EXPECT_EQ(link.sent.size(), before);
}

} // namespace
