#include "conversion/RenderClient.h"

#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <utility>

namespace quarnel {

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

const QString kWorkerDied = QStringLiteral("The renderer stopped unexpectedly");

} // namespace

RenderClient::RenderClient(QString workerPath, QObject* parent)
    : QObject(parent)
    , m_workerPath(std::move(workerPath))
    , m_aheadLimit(defaultAheadLimit())
{ }

int RenderClient::defaultAheadLimit()
{
    return std::max(8, 4 * QThread::idealThreadCount());
}

RenderClient::~RenderClient()
{
    // Workers retired after a failed page that have not ended yet end now.
    for (QProcess* retired : findChildren<QProcess*>()) {
        if (retired == m_process || retired->state() == QProcess::NotRunning)
            continue;
        retired->kill();
        retired->waitForFinished(1000);
    }
    if (m_process) {
        m_process->disconnect(this);
        m_process->closeWriteChannel();
        if (!m_process->waitForFinished(2000))
            m_process->kill();
        m_process->waitForFinished(1000);
    }
}

bool RenderClient::takeCutShort()
{
    return std::exchange(m_cutShort, false);
}

qint64 RenderClient::workerProcessId() const
{
    return m_process ? m_process->processId() : 0;
}

bool RenderClient::ensureStarted()
{
    if (m_process && m_process->state() == QProcess::Running)
        return true;
    if (m_process) {
        m_process->disconnect(this);
        m_process->deleteLater();
    }
    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setStandardErrorFile(QProcess::nullDevice());
    connect(m_process, &QProcess::readyReadStandardOutput, this, &RenderClient::readReplies);
    connect(m_process, &QProcess::finished, this, &RenderClient::workerEnded);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            workerEnded();
    });
    m_reader = render::MessageReader();
    m_garbled = false;
    m_replaceWhenIdle = false;
    // The worker ends itself when this process is gone; it is told which process that is.
    m_process->start(m_workerPath,
                     {QString::number(QCoreApplication::applicationPid()), QString::number(m_pageTimeLimit.count())});
    if (!m_process->waitForStarted(10000))
        return false;
    // Known to the program's end until it has ended, also when retired.
    const qint64 pid = m_process->processId();
    RegisterWorkerProcess(pid);
    connect(m_process, &QProcess::finished, m_process, [pid] { UnregisterWorkerProcess(pid); });
    connect(m_process, &QObject::destroyed, [pid] { UnregisterWorkerProcess(pid); });
    return true;
}

void RenderClient::send(const render::Message& message)
{
    const std::string frame = render::EncodeMessage(message);
    m_process->write(frame.data(), static_cast<qint64>(frame.size()));
}

void RenderClient::readReplies()
{
    if (m_garbled)
        return;
    const QByteArray bytes = m_process->readAllStandardOutput();
    m_reader.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    m_lastWordMs = nowMs();
    render::Message message;
    while (m_reader.next(message)) {
        if (!render::IsWellFormedReply(message)) {
            m_garbled = true;
            break;
        }
        const int id = std::atoi(message[1].c_str());
        const QString text = message.size() > 2 ? QString::fromStdString(message[2]) : QString();
        if (m_aheadOpens.count(id)) {
            aheadOpened(id, message[0] == "opened" ? std::atoi(message[2].c_str()) : -1,
                        message[0] == "opened" ? message[3] : std::string());
        } else if (m_ahead.count(id)) {
            aheadReply(id, message);
        } else if (!m_opens.count(id) && (message[0] == "opened" || message[0] == "failed")) {
            // An open asked for ahead, and forgotten since: nobody waits for it.
        } else if (message[0] == "opened") {
            m_opens[id] = std::atoi(message[2].c_str());
        } else if (message[0] == "failed") {
            m_opens[id] = -1;
            m_openErrors[id] = text;
        } else if (message[0] == "done" && m_pending.erase(id)) {
            m_finished[id] = {true, {}};
        } else if (message[0] == "error" && m_pending.erase(id)) {
            m_finished[id] = {false, text, false};
        } else if (message[0] == "exhausted" && m_pending.erase(id)) {
            m_finished[id] = {false, text, false};
            m_replaceWhenIdle = true;
        } else if (message[0] == "stopped" && m_pending.erase(id)) {
            m_finished[id] = {false, text, true};
            m_cutShort = true;
            m_replaceWhenIdle = true;
        }
    }
    // A worker that no longer speaks the protocol cannot be trusted with what it still has.
    if (m_garbled || m_reader.broken()) {
        m_garbled = true;
        endWorker();
    } else if (m_replaceWhenIdle && m_pending.empty()
               && std::none_of(m_opens.begin(), m_opens.end(), [](const auto& open) { return open.second == -2; })) {
        retireWorker();
    }
    if (m_waitLoop)
        m_waitLoop->quit();
}

void RenderClient::retireWorker()
{
    // After a page that failed for memory or time: the worker ends (its input closed) and gives all its
    // memory back, or goes on with a page that would not stop until it is killed; the next request
    // starts a new one.
    m_replaceWhenIdle = false;
    std::erase_if(m_ahead, [](const auto& page) { return !page.second.rendered; });
    m_aheadOpens.clear();
    m_aheadQueue.clear();
    QProcess* old = std::exchange(m_process, nullptr);
    old->disconnect(this);
    connect(old, &QProcess::finished, old, &QObject::deleteLater);
    old->closeWriteChannel();
    QTimer::singleShot(5000, old, [old] { old->kill(); });
}

void RenderClient::endWorker()
{
    // Told here once, not again by the process's own signal.
    m_process->disconnect(this);
    m_process->kill();
    m_process->waitForFinished(2000);
    workerEnded();
}

void RenderClient::workerEnded()
{
    // Replies the worker wrote before it ended still count.
    if (m_process)
        readReplies();
    // Pages asked for ahead and not yet rendered went with the worker; one of them may be what ended it.
    bool aheadLost = false;
    for (auto page = m_ahead.begin(); page != m_ahead.end();) {
        aheadLost = aheadLost || !page->second.rendered;
        page = page->second.rendered ? std::next(page) : m_ahead.erase(page);
    }
    m_aheadOpens.clear();
    m_aheadQueue.clear();
    // Then the pages needed now are asked for once more, of a new worker, before they count as failed.
    if (aheadLost && !m_askedAgain && !m_pending.empty() && ensureStarted()) {
        m_askedAgain = true;
        for (const auto& [id, unused] : m_pending)
            sendRender("render", id, m_requests[id], m_targets[id]);
        return;
    }
    // Everything the worker still had fails; the next request starts a new one.
    for (const auto& [id, unused] : m_pending) {
        m_finished[id] = {false, kWorkerDied, true};
        m_cutShort = true;
    }
    m_pending.clear();
    for (auto& [id, pages] : m_opens) {
        if (pages == -2) {
            pages = -1;
            m_openErrors[id] = kWorkerDied;
            m_cutShort = true;
        }
    }
    if (m_waitLoop)
        m_waitLoop->quit();
}

void RenderClient::limitDocumentTime(std::optional<std::chrono::milliseconds> limit)
{
    m_documentDeadlineMs = limit ? nowMs() + limit->count() : 0;
}

bool RenderClient::pastDocumentTime() const
{
    return m_documentDeadlineMs != 0 && nowMs() > m_documentDeadlineMs;
}

bool RenderClient::waitFor(const std::function<bool()>& done)
{
    m_lastWordMs = nowMs();
    const auto finishedOrStalled = [&] {
        if (done())
            return true;
        if (nowMs() - m_lastWordMs > m_stallLimit.count() && m_process) {
            // A page that hangs the library ends the worker; its pages fail, the program goes on.
            endWorker();
        } else if (pastDocumentTime() && m_process) {
            // The PDF has had its time: what is still waiting is cut short, not asked for again.
            m_askedAgain = true;
            endWorker();
        }
        return done();
    };
    if (!QCoreApplication::instance())
        return WaitServingEvents(finishedOrStalled, std::chrono::hours(24 * 365), std::chrono::milliseconds(10));
    // Woken by every reply (and by the worker's end) the moment it is read, and at least every tenth of
    // a second to notice a worker that has gone silent.
    QEventLoop loop;
    QEventLoop* const outer = std::exchange(m_waitLoop, &loop);
    QTimer tick;
    connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start(100);
    while (!finishedOrStalled())
        loop.exec();
    m_waitLoop = outer;
    return true;
}

int RenderClient::pageCount(const QString& pdfPath)
{
    const std::string path = NativeName(pdfPath).toStdString();
    // Being opened ahead already: that answer serves (the worker opens one PDF at a time).
    const auto openingAhead = [&] {
        return std::any_of(m_aheadOpens.begin(), m_aheadOpens.end(),
                           [&](const auto& open) { return open.second.path == path; });
    };
    if (openingAhead())
        waitFor([&] { return !openingAhead(); });
    // Opened ahead, and unchanged since: no need to ask again.
    const auto known = knownCount(path);
    if (known != m_knownCounts.end())
        return known->second;
    if (!ensureStarted())
        throw RuntimeError(ErrorNumber::CantCreateObject);
    return takePageCount(askPageCount(pdfPath));
}

int RenderClient::askPageCount(const QString& pdfPath)
{
    if (!ensureStarted())
        return 0;
    const int id = m_nextId++;
    m_opens[id] = -2;
    send({"open", std::to_string(id), NativeName(pdfPath).toStdString()});
    return id;
}

int RenderClient::takePageCount(int ticket)
{
    if (m_opens.find(ticket) == m_opens.end())
        throw RuntimeError(ErrorNumber::CantCreateObject);
    const int id = ticket;
    waitFor([&] { return m_opens[id] != -2; });
    const int pages = m_opens[id];
    const QString error = m_openErrors[id];
    m_opens.erase(id);
    m_openErrors.erase(id);
    if (pages < 0)
        throw RuntimeError(static_cast<int>(ErrorNumber::AutomationError),
                           QStringLiteral("Automation error: ") + error);
    return pages;
}

RenderClient::Request RenderClient::requestOf(const QString& pdfPath, int page, double dpi, int quality,
                                              bool blackWhite)
{
    return {NativeName(pdfPath).toStdString(), page, QString::number(dpi, 'f', 3).toStdString(), quality, blackWhite};
}

void RenderClient::sendRender(const char* kind, int id, const Request& request, const QString& target)
{
    send({kind, std::to_string(id), request.path, std::to_string(request.page), request.dpi,
          std::to_string(request.quality), request.blackWhite ? "1" : "0", NativeName(target).toStdString()});
}

int RenderClient::submit(const QString& pdfPath, int page, double dpi, int quality, bool blackWhite,
                         const QString& target)
{
    const int id = m_nextId++;
    if (pastDocumentTime()) {
        m_finished[id] = {false, QStringLiteral("the PDF ran past its time limit"), true};
        m_cutShort = true;
        return id;
    }
    const Request request = requestOf(pdfPath, page, dpi, quality, blackWhite);
    m_askedNow.insert(request.path);
    // The same page with the same settings, asked for ahead: handed over when it comes from this very
    // version of the file; otherwise rendered anew.
    const auto ahead = std::find_if(m_ahead.begin(), m_ahead.end(), [&](const auto& entry) {
        return entry.second.request == request && entry.second.adoptedBy == 0;
    });
    if (ahead != m_ahead.end()) {
        const std::string version = render::FileVersionTextOf(request.path);
        if (!ahead->second.rendered) {
            send({"hurry", std::to_string(ahead->first)});
            ahead->second.adoptedBy = id;
            ahead->second.wantedVersion = version;
            ahead->second.target = target;
            m_pending[id] = true;
            m_requests[id] = request;
            m_targets[id] = target;
            return id;
        }
        const bool current = !version.empty() && ahead->second.version == version;
        const bool handed = current && handOver(ahead->second.file, target);
        dropAheadPage(ahead);
        topUpAhead();
        if (handed) {
            m_finished[id] = {true, {}};
            return id;
        }
    }
    if (!ensureStarted()) {
        m_finished[id] = {false, QStringLiteral("The renderer could not be started"), true};
        m_cutShort = true;
        return id;
    }
    m_pending[id] = true;
    m_requests[id] = request;
    m_targets[id] = target;
    sendRender("render", id, request, target);
    return id;
}

bool RenderClient::handOver(const QString& file, const QString& target)
{
    // Never over a file that is there already; the page is then rendered again under its name.
    return ::renameat2(AT_FDCWD, NativeName(file).constData(), AT_FDCWD, NativeName(target).constData(),
                       RENAME_NOREPLACE)
        == 0;
}

void RenderClient::dropAheadPage(std::map<int, AheadPage>::iterator page)
{
    if (page->second.rendered)
        QFile::remove(page->second.file);
    m_ahead.erase(page);
}

void RenderClient::renderAhead(const QString& pdfPath, double dpi, int quality, bool blackWhite, int pages)
{
    // A bound on what waits for room, whatever the pass asks.
    constexpr std::size_t kMostWaiting = 32;
    if (m_aheadLimit <= 0 || pages == 0 || m_aheadQueue.size() >= kMostWaiting)
        return;
    const std::string path = NativeName(pdfPath).toStdString();
    if (m_askedNow.count(path))
        return;
    const AheadDocument document {path, dpi, quality, blackWhite, pages};
    // Asked for already: waiting for room, opening, or pages on their way or rendered.
    if (std::any_of(m_aheadQueue.begin(), m_aheadQueue.end(),
                    [&](const AheadDocument& other) { return other.sameAs(document); }))
        return;
    const Request first {path, 0, QString::number(dpi, 'f', 3).toStdString(), quality, blackWhite};
    for (const auto& [id, page] : m_ahead)
        if (page.request == first)
            return;
    if (!m_aheadFolder) {
        m_aheadFolder = std::make_unique<QTemporaryDir>(TempFolder() + u'/' + QLatin1String(kAheadFolderPrefix)
                                                        + QStringLiteral("XXXXXX"));
        if (!m_aheadFolder->isValid()) {
            m_aheadFolder.reset();
            return;
        }
        SetRenderAheadFolder(m_aheadFolder->path());
    }
    m_aheadQueue.push_back(document);
    topUpAhead();
}

std::map<std::pair<std::string, std::string>, int>::const_iterator
RenderClient::knownCount(const std::string& path) const
{
    return m_knownCounts.find({path, render::FileVersionTextOf(path)});
}

void RenderClient::topUpAhead()
{
    // In the order the pass will need them, as long as there is room: so that the pages of the next PDF
    // are asked for as soon as those of this one are taken, not when its turn comes.
    while (!m_aheadQueue.empty() && static_cast<int>(m_ahead.size()) < m_aheadLimit && m_aheadFolder) {
        AheadDocument& document = m_aheadQueue.front();
        if (m_askedNow.count(document.path)) {
            m_aheadQueue.pop_front();
            continue;
        }
        const auto known = knownCount(document.path);
        if (known == m_knownCounts.end()) {
            // Opened first; the answer tops up again.
            const bool opening = std::any_of(m_aheadOpens.begin(), m_aheadOpens.end(),
                                             [&](const auto& open) { return open.second.sameAs(document); });
            if (!opening && ensureStarted()) {
                const int id = m_nextId++;
                m_aheadOpens[id] = document;
                send({"open", std::to_string(id), document.path});
            }
            return;
        }
        if (!askAheadPages(document, known->second))
            return;
        m_aheadQueue.pop_front();
    }
}

bool RenderClient::askAheadPages(AheadDocument& document, int pages)
{
    if (!ensureStarted())
        return false;
    const int wanted = document.pages < 0 ? pages : std::min(pages, document.pages);
    for (; document.nextPage < wanted && static_cast<int>(m_ahead.size()) < m_aheadLimit; ++document.nextPage) {
        const int job = m_nextId++;
        AheadPage ahead;
        ahead.request = {document.path, document.nextPage, QString::number(document.dpi, 'f', 3).toStdString(),
                         document.quality, document.blackWhite};
        ahead.file = m_aheadFolder->filePath(QStringLiteral("ahead-%1.jpg").arg(job));
        sendRender("ahead", job, ahead.request, ahead.file);
        m_ahead[job] = ahead;
    }
    return document.nextPage >= wanted;
}

void RenderClient::aheadOpened(int id, int pages, const std::string& version)
{
    const AheadDocument opened = m_aheadOpens[id];
    m_aheadOpens.erase(id);
    const auto waiting = std::find_if(m_aheadQueue.begin(), m_aheadQueue.end(),
                                      [&](const AheadDocument& other) { return other.sameAs(opened); });
    // A PDF that cannot be opened is left to its turn, which reports it.
    if (pages < 0) {
        if (waiting != m_aheadQueue.end())
            m_aheadQueue.erase(waiting);
    } else {
        m_knownCounts[{opened.path, version}] = pages;
        // Its pages by the count just read, even if the file has changed since: a page of another version
        // is never handed over.
        if (waiting != m_aheadQueue.end() && waiting == m_aheadQueue.begin() && !m_askedNow.count(opened.path)
            && askAheadPages(*waiting, pages))
            m_aheadQueue.pop_front();
    }
    topUpAhead();
}

void RenderClient::aheadReply(int id, const render::Message& message)
{
    const auto page = m_ahead.find(id);
    AheadPage& ahead = page->second;
    const bool done = message[0] == "done";
    if (done) {
        ahead.rendered = true;
        ahead.version = message[5];
    } else if (message[0] == "exhausted" || message[0] == "stopped") {
        m_replaceWhenIdle = true;
    }
    const int waiting = ahead.adoptedBy;
    if (!waiting) {
        if (!done) {
            dropAheadPage(page);
            topUpAhead();
        }
        return;
    }
    // A request waits for this page: handed over when it is the version it wants, otherwise (or when it
    // failed) rendered for it now, so that what it gets is exactly what it would have got.
    const bool handed = done && ahead.version == ahead.wantedVersion && handOver(ahead.file, ahead.target);
    dropAheadPage(page);
    if (handed) {
        m_pending.erase(waiting);
        m_requests.erase(waiting);
        m_targets.erase(waiting);
        m_finished[waiting] = {true, {}};
    } else {
        sendRender("render", waiting, m_requests[waiting], m_targets[waiting]);
    }
    topUpAhead();
}

void RenderClient::forgetAhead()
{
    if (m_process && m_process->state() == QProcess::Running)
        send({"forget"});
    for (auto page = m_ahead.begin(); page != m_ahead.end();) {
        if (page->second.adoptedBy) {
            ++page;
            continue;
        }
        const auto next = std::next(page);
        dropAheadPage(page);
        page = next;
    }
    m_aheadOpens.clear();
    m_aheadQueue.clear();
    m_knownCounts.clear();
    m_askedNow.clear();
    // Pages still on their way are written into a folder that is gone, and fail unseen.
    if (m_ahead.empty()) {
        SetRenderAheadFolder(QString());
        m_aheadFolder.reset();
    }
}

std::map<int, RenderClient::Outcome> RenderClient::waitAll()
{
    waitFor([&] { return m_pending.empty(); });
    return waitSome();
}

std::map<int, RenderClient::Outcome> RenderClient::waitSome()
{
    waitFor([&] { return !m_finished.empty() || m_pending.empty(); });
    if (m_pending.empty())
        m_askedAgain = false;
    std::map<int, Outcome> outcomes;
    outcomes.swap(m_finished);
    for (const auto& [id, outcome] : outcomes) {
        m_requests.erase(id);
        m_targets.erase(id);
    }
    return outcomes;
}

} // namespace quarnel
