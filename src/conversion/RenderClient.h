#pragma once

#include "conversion/render/RenderProtocol.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>

class QEventLoop;
class QProcess;
class QTemporaryDir;

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
    void setAheadLimit(int pages) { m_aheadLimit = pages; }
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
    // A page as asked for: what makes a page rendered ahead the one asked for now.
    struct Request
    {
        std::string path;
        int page = 0;
        std::string dpi;
        int quality = 0;
        bool blackWhite = false;
        bool operator==(const Request&) const = default;
    };
    struct AheadPage
    {
        Request request;
        QString file;
        bool rendered = false;
        std::string version; // of the file it was rendered from
        int adoptedBy = 0; // a request now waiting for it, with the version it wants and its target
        std::string wantedVersion;
        QString target;
    };
    struct AheadDocument
    {
        std::string path;
        double dpi = 0;
        int quality = 0;
        bool blackWhite = false;
        int pages = -1;
        int nextPage = 0; // the first page not asked for yet
        bool sameAs(const AheadDocument& other) const
        {
            return path == other.path && dpi == other.dpi && quality == other.quality && blackWhite == other.blackWhite;
        }
    };

    static Request requestOf(const QString& pdfPath, int page, double dpi, int quality, bool blackWhite);
    void sendRender(const char* kind, int id, const Request& request, const QString& target);
    void aheadOpened(int id, int pages, const std::string& version);
    void topUpAhead();
    bool askAheadPages(AheadDocument& document, int pages);
    std::map<std::pair<std::string, std::string>, int>::const_iterator knownCount(const std::string& path) const;
    void aheadReply(int id, const render::Message& message);
    void dropAheadPage(std::map<int, AheadPage>::iterator page);
    bool handOver(const QString& file, const QString& target);
    void send(const render::Message& message);
    void readReplies();
    void workerEnded();
    void endWorker();
    void retireWorker();
    bool waitFor(const std::function<bool()>& done);

    QString m_workerPath;
    QProcess* m_process = nullptr;
    render::MessageReader m_reader;
    int m_nextId = 1;
    std::map<int, Outcome> m_finished;
    std::map<int, bool> m_pending;
    std::map<int, int> m_opens; // open request -> page count, -1 failed
    std::map<int, QString> m_openErrors;
    std::chrono::milliseconds m_stallLimit {(render::kPageTimeLimitSeconds + 60) * 1000};
    std::chrono::seconds m_pageTimeLimit {render::kPageTimeLimitSeconds};
    qint64 m_lastWordMs = 0;
    qint64 m_documentDeadlineMs = 0; // 0: none
    bool m_cutShort = false;
    bool m_garbled = false; // the worker's replies stopped making sense
    bool m_replaceWhenIdle = false; // a page failed for memory or time: a new worker for what comes next
    std::map<int, Request> m_requests; // what the pending pages asked for, to ask again
    std::map<int, QString> m_targets;
    std::map<int, AheadPage> m_ahead;
    std::map<int, AheadDocument> m_aheadOpens;
    std::deque<AheadDocument> m_aheadQueue; // asked for ahead, in the order they will be needed, waiting for room
    std::map<std::pair<std::string, std::string>, int> m_knownCounts; // (path, version) -> pages
    std::set<std::string> m_askedNow; // PDFs whose pages were asked for as needed now, since the last forget
    std::unique_ptr<QTemporaryDir> m_aheadFolder;
    int m_aheadLimit = 0;
    bool m_askedAgain = false; // the pending pages were asked for again after the worker ended
    QEventLoop* m_waitLoop = nullptr; // the wait to wake when a reply has been read
};

} // namespace quarnel
