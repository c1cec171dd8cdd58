#pragma once

#include "conversion/render/RenderProtocol.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <map>

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
    // Queues a page (from 0) to be rendered into the target JPEG; returns the job's number.
    int submit(const QString& pdfPath, int page, double dpi, int quality, bool blackWhite, const QString& target);
    // Waits, serving the window's events, until every queued page is done; their outcomes by number.
    std::map<int, Outcome> waitAll();

    // How long the worker may go without a word while it has work before it is ended.
    void setStallLimit(std::chrono::milliseconds limit) { m_stallLimit = limit; }
    // The time one page may take before the worker stops it; for the workers started from now on.
    void setPageTimeLimit(std::chrono::seconds limit) { m_pageTimeLimit = limit; }
    qint64 workerProcessId() const;
    // True when some request since the last call was cut short; clears the mark.
    bool takeCutShort();

private:
    bool ensureStarted();
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
    bool m_cutShort = false;
    bool m_garbled = false; // the worker's replies stopped making sense
    bool m_replaceWhenIdle = false; // a page failed for memory or time: a new worker for what comes next
};

} // namespace quarnel
