#include "render/RenderWorker.h"

#include "samples/SamplePdf.h"
#include "support/TempTree.h"

#include <QFile>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace quarnel::render;
using quarnel::test::TempTree;
using namespace std::chrono_literals;

namespace {

// Collects the worker's replies, as its threads give them.
class Replies
{
public:
    RenderWorker::ReplySink sink()
    {
        return [this](const Reply& reply) {
            const std::lock_guard lock(m_lock);
            m_replies.push_back(reply);
            m_came.notify_all();
        };
    }
    // The reply to `id`, waiting up to `wait` for it.
    std::optional<Reply> to(int id, std::chrono::milliseconds wait = 30s)
    {
        std::unique_lock lock(m_lock);
        std::optional<Reply> found;
        m_came.wait_for(lock, wait, [&] {
            for (const Reply& reply : m_replies)
                if (reply.id == id)
                    found = reply;
            return found.has_value();
        });
        return found;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_came;
    std::vector<Reply> m_replies;
};

// Holds every page at its start until opened.
class Gate
{
public:
    void pass()
    {
        std::unique_lock lock(m_lock);
        ++m_waiting;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    void waitForWaiting(int count)
    {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, 30s, [&] { return m_waiting >= count; });
    }
    void open()
    {
        const std::lock_guard lock(m_lock);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_waiting = 0;
    bool m_open = false;
};

QByteArray pages(int count)
{
    std::vector<quarnel::samples::SamplePage> list(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        list[static_cast<std::size_t>(i)].title = QStringLiteral("Page %1").arg(i + 1);
    return quarnel::samples::MakeSamplePdf(list);
}

Request renderRequest(RequestKind kind, int id, const std::string& pdf, int page, const QString& target)
{
    return {kind, id, pdf, {page, 72, 80, false, target.toStdString()}};
}

TEST(RenderWorker, CountsRendersAndRefusesPagesTheDocumentDoesNotHave)
{
    TempTree tree;
    const std::string pdf = tree.write(QStringLiteral("doc.pdf"), pages(3)).toStdString();
    Replies replies;
    RenderWorker worker({}, replies.sink());
    worker.handle({RequestKind::Open, 1, pdf, {}});
    worker.handle({RequestKind::Open, 2, tree.file(QStringLiteral("none.pdf")).toStdString(), {}});
    worker.handle(renderRequest(RequestKind::Render, 3, pdf, 2, tree.file(QStringLiteral("3.jpg"))));
    worker.handle(renderRequest(RequestKind::Render, 4, pdf, 7, tree.file(QStringLiteral("8.jpg"))));

    const auto count = replies.to(1);
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(count->kind, ReplyKind::Opened);
    EXPECT_EQ(count->pages, 3);
    EXPECT_EQ(count->version, FileVersionTextOf(pdf));
    EXPECT_EQ(replies.to(2)->kind, ReplyKind::OpenFailed);
    const auto done = replies.to(3);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->kind, ReplyKind::Done);
    EXPECT_GT(done->width, 0);
    EXPECT_TRUE(QFile::exists(tree.file(QStringLiteral("3.jpg"))));
    EXPECT_EQ(replies.to(4)->kind, ReplyKind::Failed);
    EXPECT_FALSE(QFile::exists(tree.file(QStringLiteral("8.jpg"))));
}

TEST(RenderWorker, ForgetDropsWaitingAheadPagesButNotOnesHurriedOrNeededNow)
{
    TempTree tree;
    const std::string pdf = tree.write(QStringLiteral("doc.pdf"), pages(6)).toStdString();
    Replies replies;
    Gate gate;
    WorkerSettings settings;
    settings.beforePage = [&](int) { gate.pass(); };
    RenderWorker worker(settings, replies.sink());
    // Every thread held by a page needed now; behind them two pages ahead, one of them hurried.
    const int threads = static_cast<int>(worker.renderThreads());
    for (int i = 0; i < threads; ++i)
        worker.handle(
            renderRequest(RequestKind::Render, 10 + i, pdf, 0, tree.file(QStringLiteral("now%1.jpg").arg(i))));
    gate.waitForWaiting(threads);
    worker.handle(renderRequest(RequestKind::Ahead, 1, pdf, 1, tree.file(QStringLiteral("a1.jpg"))));
    worker.handle(renderRequest(RequestKind::Ahead, 2, pdf, 2, tree.file(QStringLiteral("a2.jpg"))));
    worker.handle({RequestKind::Hurry, 2, {}, {}});
    worker.handle({RequestKind::Forget, 0, {}, {}});
    gate.open();

    for (int i = 0; i < threads; ++i)
        EXPECT_EQ(replies.to(10 + i)->kind, ReplyKind::Done);
    EXPECT_EQ(replies.to(2)->kind, ReplyKind::Done);
    EXPECT_FALSE(replies.to(1, 500ms).has_value());
    EXPECT_FALSE(QFile::exists(tree.file(QStringLiteral("a1.jpg"))));
}

TEST(RenderWorker, APageThatDoesNotStopIsAnsweredForAtItsLimit)
{
    TempTree tree;
    const std::string pdf = tree.write(QStringLiteral("doc.pdf"), pages(1)).toStdString();
    Replies replies;
    std::atomic<bool> release = false;
    WorkerSettings settings;
    settings.pageTimeLimitMs = 300;
    settings.stopGraceMs = 300;
    // Deaf to the stop request, as a page stuck inside the library is.
    settings.beforePage = [&](int) {
        while (!release)
            std::this_thread::sleep_for(10ms);
    };
    RenderWorker worker(settings, replies.sink());
    const auto started = std::chrono::steady_clock::now();
    worker.handle(renderRequest(RequestKind::Render, 1, pdf, 0, tree.file(QStringLiteral("1.jpg"))));
    const auto stopped = replies.to(1);
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->kind, ReplyKind::Stopped);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 600ms);
    release = true;
}

} // namespace
