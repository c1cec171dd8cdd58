#include "conversion/RenderClient.h"

#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <algorithm>
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
    , m_ahead(m_link, defaultAheadLimit())
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

void RenderClient::send(const render::Request& request)
{
    const std::string frame = render::Encode(request);
    m_process->write(frame.data(), static_cast<qint64>(frame.size()));
}

void RenderClient::finish(int id, Outcome outcome)
{
    Job& job = m_jobs[id];
    job.answered = true;
    job.outcome = std::move(outcome);
}

bool RenderClient::waitingForWorker() const
{
    return std::any_of(m_jobs.begin(), m_jobs.end(), [](const auto& job) { return !job.second.answered; });
}

void RenderClient::take(const render::Reply& reply)
{
    using render::ReplyKind;
    const bool failedForMemoryOrTime = reply.kind == ReplyKind::Exhausted || reply.kind == ReplyKind::Stopped;
    if (m_ahead.owns(reply.id)) {
        m_replaceWhenIdle = m_replaceWhenIdle || failedForMemoryOrTime;
        if (const auto adopted = m_ahead.answer(reply)) {
            if (adopted->handedOver)
                finish(adopted->job, {true, {}});
            else
                sendRender(adopted->job, m_jobs[adopted->job]);
            m_ahead.topUp();
        }
        return;
    }
    const auto job = m_jobs.find(reply.id);
    // Asked for ahead and forgotten since, or answered already: nobody waits for it.
    if (job == m_jobs.end() || job->second.answered)
        return;
    const bool count = job->second.kind == Job::Kind::Count;
    const QString text = QString::fromStdString(reply.message);
    if (count != (reply.kind == ReplyKind::Opened || reply.kind == ReplyKind::OpenFailed))
        return;
    job->second.answered = true;
    switch (reply.kind) {
    case ReplyKind::Opened:
        job->second.pages = reply.pages;
        break;
    case ReplyKind::OpenFailed:
        job->second.pages = -1;
        job->second.outcome = {false, text, false};
        break;
    case ReplyKind::Done:
        job->second.outcome = {true, {}};
        break;
    case ReplyKind::Failed:
    case ReplyKind::Exhausted:
        job->second.outcome = {false, text, false};
        break;
    case ReplyKind::Stopped:
        job->second.outcome = {false, text, true};
        m_cutShort = true;
        break;
    }
    m_replaceWhenIdle = m_replaceWhenIdle || failedForMemoryOrTime;
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
        const std::optional<render::Reply> reply = render::DecodeReply(message);
        if (!reply) {
            m_garbled = true;
            break;
        }
        take(*reply);
    }
    // A worker that no longer speaks the protocol cannot be trusted with what it still has.
    if (m_garbled || m_reader.broken()) {
        m_garbled = true;
        endWorker();
    } else if (m_replaceWhenIdle && !waitingForWorker()) {
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
    m_ahead.workerLost();
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
    const bool aheadLost = m_ahead.workerLost();
    const auto pagesWaiting = [this] {
        return std::any_of(m_jobs.begin(), m_jobs.end(),
                           [](const auto& job) { return !job.second.answered && job.second.kind == Job::Kind::Page; });
    };
    // Then the pages needed now are asked for once more, of a new worker, before they count as failed.
    if (aheadLost && !m_askedAgain && pagesWaiting() && ensureStarted()) {
        m_askedAgain = true;
        for (const auto& [id, job] : m_jobs)
            if (!job.answered && job.kind == Job::Kind::Page)
                sendRender(id, job);
        return;
    }
    // Everything the worker still had fails; the next request starts a new one.
    for (auto& [id, job] : m_jobs) {
        if (job.answered)
            continue;
        job.answered = true;
        job.pages = -1;
        job.outcome = {false, kWorkerDied, true};
        m_cutShort = true;
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
    // Being counted ahead already: that answer serves (the worker counts one PDF at a time).
    if (m_ahead.opening(path))
        waitFor([&] { return !m_ahead.opening(path); });
    // Counted ahead, and unchanged since: no need to ask again.
    if (const std::optional<int> known = m_ahead.knownCount(path))
        return *known;
    if (!ensureStarted())
        throw RuntimeError(ErrorNumber::CantCreateObject);
    return takePageCount(askPageCount(pdfPath));
}

int RenderClient::askPageCount(const QString& pdfPath)
{
    if (!ensureStarted())
        return 0;
    const int id = m_nextId++;
    Job& job = m_jobs[id];
    job.kind = Job::Kind::Count;
    job.key.path = NativeName(pdfPath).toStdString();
    send({render::RequestKind::Open, id, job.key.path, {}});
    return id;
}

int RenderClient::takePageCount(int ticket)
{
    const auto found = m_jobs.find(ticket);
    if (found == m_jobs.end() || found->second.kind != Job::Kind::Count)
        throw RuntimeError(ErrorNumber::CantCreateObject);
    waitFor([&] { return m_jobs[ticket].answered; });
    const Job job = m_jobs[ticket];
    m_jobs.erase(ticket);
    if (job.pages < 0)
        throw RuntimeError(static_cast<int>(ErrorNumber::AutomationError),
                           QStringLiteral("Automation error: ") + job.outcome.error);
    return job.pages;
}

PageKey RenderClient::keyOf(const QString& pdfPath, int page, double dpi, int quality, bool blackWhite)
{
    return {NativeName(pdfPath).toStdString(), {page, dpi, quality, blackWhite, {}}};
}

void RenderClient::sendRender(int id, const Job& job)
{
    render::PageRequest page = job.key.page;
    page.target = NativeName(job.target).toStdString();
    send({render::RequestKind::Render, id, job.key.path, page});
}

int RenderClient::submit(const QString& pdfPath, int page, double dpi, int quality, bool blackWhite,
                         const QString& target)
{
    const int id = m_nextId++;
    Job& job = m_jobs[id];
    job.key = keyOf(pdfPath, page, dpi, quality, blackWhite);
    job.target = target;
    if (pastDocumentTime()) {
        finish(id, {false, QStringLiteral("the PDF ran past its time limit"), true});
        m_cutShort = true;
        return id;
    }
    m_ahead.askedNow(job.key.path);
    // The same page with the same settings, asked for ahead: handed over, or on its way.
    const RenderAhead::Claim claim = m_ahead.claim(job.key, id, target);
    if (claim == RenderAhead::Claim::HandedOver) {
        finish(id, {true, {}});
        return id;
    }
    if (claim == RenderAhead::Claim::Waiting)
        return id;
    if (!ensureStarted()) {
        finish(id, {false, QStringLiteral("The renderer could not be started"), true});
        m_cutShort = true;
        return id;
    }
    sendRender(id, job);
    return id;
}

void RenderClient::renderAhead(const QString& pdfPath, double dpi, int quality, bool blackWhite, int pages)
{
    m_ahead.ask(NativeName(pdfPath).toStdString(), {0, dpi, quality, blackWhite, {}}, pages);
}

void RenderClient::forgetAhead()
{
    if (m_process && m_process->state() == QProcess::Running)
        send({render::RequestKind::Forget, 0, {}, {}});
    m_ahead.forget();
}

std::map<int, RenderClient::Outcome> RenderClient::waitAll()
{
    const auto pagesWaiting = [this] {
        return std::none_of(m_jobs.begin(), m_jobs.end(),
                            [](const auto& job) { return !job.second.answered && job.second.kind == Job::Kind::Page; });
    };
    waitFor(pagesWaiting);
    return waitSome();
}

std::map<int, RenderClient::Outcome> RenderClient::waitSome()
{
    const auto pages = [this](bool answered) {
        return std::any_of(m_jobs.begin(), m_jobs.end(), [answered](const auto& job) {
            return job.second.kind == Job::Kind::Page && job.second.answered == answered;
        });
    };
    waitFor([&] { return pages(true) || !pages(false); });
    if (!pages(false))
        m_askedAgain = false;
    std::map<int, Outcome> outcomes;
    for (auto job = m_jobs.begin(); job != m_jobs.end();) {
        if (job->second.kind == Job::Kind::Page && job->second.answered) {
            outcomes.emplace(job->first, std::move(job->second.outcome));
            job = m_jobs.erase(job);
        } else {
            ++job;
        }
    }
    return outcomes;
}

} // namespace quarnel
