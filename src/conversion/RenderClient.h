#pragma once

#include "conversion/RenderAhead.h"
#include "render/RenderProtocol.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <map>
#include <memory>
#include <optional>

class QEventLoop;
class QProcess;

namespace quarnel {

// The program's side of the renderer worker: untrusted PDFs are opened and rendered in that child
// process, so a PDF that crashes or hangs the PDF library fails only itself. The worker stays up
// between documents and is started again after it died.
class RenderClient final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RenderClient)

public:
    struct Outcome
    {
        bool ok = false;
        QString error;
        // The page was not refused by the document but cut short: the worker died or was ended, or the
        // page ran past its time limit.
        bool cutShort = false;
    };

    explicit RenderClient(QString workerPath, QObject* parent = nullptr);
    ~RenderClient() override;

    // The PDF's page count; a run-time error when it cannot be opened.
    int pageCount(const QString& pdfPath);
    // The same in two halves, so that other work goes on while the worker opens the PDF: asks (a ticket),
    // then waits for the answer (a run-time error when it cannot be opened, or could not be asked).
    int askPageCount(const QString& pdfPath);
    int takePageCount(int ticket);
    // Queues a page (from 0) to be rendered into the target JPEG; returns the job's number.
    int submit(const QString& pdfPath, int page, double dpi, int quality, bool blackWhite, const QString& target);
    // Waits, serving the window's events, until every queued page is done; their outcomes by number.
    std::map<int, Outcome> waitAll();
    // Waits until at least one queued page is done (or none is queued); the outcomes that are in.
    std::map<int, Outcome> waitSome();

    // Asks for the first `pages` pages (all when -1) of a PDF the program will convert soon: rendered
    // while no page needed now waits, and handed over when the same page of the same version of the file
    // is asked for with the same settings. At most `aheadLimit` pages are asked for or kept ahead.
    void renderAhead(const QString& pdfPath, double dpi, int quality, bool blackWhite, int pages);
    // Drops every page asked for ahead, rendered or not.
    void forgetAhead();
    void setAheadLimit(int pages) { m_ahead.setLimit(pages); }
    // Enough pages ahead to keep every core busy between two PDFs.
    static int defaultAheadLimit();

    // How long the worker may go without a word while it has work before it is ended.
    void setStallLimit(std::chrono::milliseconds limit) { m_stallLimit = limit; }
    // The time one page may take before the worker stops it; for the workers started from now on.
    void setPageTimeLimit(std::chrono::seconds limit) { m_pageTimeLimit = limit; }
    qint64 workerProcessId() const;
    // Starts the worker unless it is running; the first request otherwise does. False when it cannot start.
    bool ensureStarted();
    // True when some request since the last call was cut short; clears the mark.
    bool takeCutShort();
    // The work of one PDF may go on until this long from now (none: no bound). Past it, every request
    // still waiting is cut short (the worker is ended), and new ones fail at once.
    void limitDocumentTime(std::optional<std::chrono::milliseconds> limit);
    bool pastDocumentTime() const;

private:
    // One request to the worker, from the moment it is asked until its answer is taken.
    struct Job
    {
        enum class Kind { Count, Page } kind = Kind::Page;
        PageKey key; // the page asked for, or the PDF counted (its path)
        QString target;
        bool answered = false;
        int pages = 0; // a count's answer
        Outcome outcome; // a page's answer
    };

    // The worker's side, as render-ahead sees it.
    class Link final : public AheadLink
    {
    public:
        explicit Link(RenderClient& client)
            : m_client(client)
        { }
        bool ensureStarted() override { return m_client.ensureStarted(); }
        int newId() override { return m_client.m_nextId++; }
        void send(const render::Request& request) override { m_client.send(request); }

    private:
        RenderClient& m_client;
    };

    static PageKey keyOf(const QString& pdfPath, int page, double dpi, int quality, bool blackWhite);
    void sendRender(int id, const Job& job);
    void finish(int id, Outcome outcome);
    void take(const render::Reply& reply);
    bool waitingForWorker() const;
    void send(const render::Request& request);
    void readReplies();
    void workerEnded();
    void endWorker();
    void retireWorker();
    bool waitFor(const std::function<bool()>& done);

    QString m_workerPath;
    QProcess* m_process = nullptr;
    render::MessageReader m_reader;
    int m_nextId = 1;
    std::map<int, Job> m_jobs;
    std::chrono::milliseconds m_stallLimit {(render::kPageTimeLimitSeconds + 60) * 1000};
    std::chrono::seconds m_pageTimeLimit {render::kPageTimeLimitSeconds};
    qint64 m_lastWordMs = 0;
    qint64 m_documentDeadlineMs = 0; // 0: none
    bool m_cutShort = false;
    bool m_garbled = false; // the worker's replies stopped making sense
    bool m_replaceWhenIdle = false; // a page failed for memory or time: a new worker for what comes next
    bool m_askedAgain = false; // the pending pages were asked for again after the worker ended
    QEventLoop* m_waitLoop = nullptr; // the wait to wake when a reply has been read
    Link m_link {*this};
    RenderAhead m_ahead;
};

} // namespace quarnel
