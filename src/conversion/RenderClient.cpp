#include "conversion/RenderClient.h"

#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QProcess>
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
{ }

RenderClient::~RenderClient()
{
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
    return m_process->waitForStarted(10000);
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
        if (message[0] == "opened") {
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
}

void RenderClient::retireWorker()
{
    // After a page that failed for memory or time: the worker ends (its input closed) and gives all its
    // memory back, or goes on with a page that would not stop until it is killed; the next request
    // starts a new one.
    m_replaceWhenIdle = false;
    QProcess* old = std::exchange(m_process, nullptr);
    old->disconnect(this);
    connect(old, &QProcess::finished, old, &QObject::deleteLater);
    old->closeWriteChannel();
    QTimer::singleShot(5000, old, [old] { old->kill(); });
}

void RenderClient::endWorker()
{
    m_process->kill();
    m_process->waitForFinished(2000);
    workerEnded();
}

void RenderClient::workerEnded()
{
    // Replies the worker wrote before it ended still count.
    if (m_process)
        readReplies();
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
        }
        return done();
    };
    return WaitServingEvents(finishedOrStalled, std::chrono::hours(24 * 365), std::chrono::milliseconds(10));
}

int RenderClient::pageCount(const QString& pdfPath)
{
    if (!ensureStarted())
        throw RuntimeError(ErrorNumber::CantCreateObject);
    const int id = m_nextId++;
    m_opens[id] = -2;
    send({"open", std::to_string(id), QFile::encodeName(pdfPath).toStdString()});
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

int RenderClient::submit(const QString& pdfPath, int page, double dpi, int quality, bool blackWhite,
                         const QString& target)
{
    const int id = m_nextId++;
    if (!ensureStarted()) {
        m_finished[id] = {false, QStringLiteral("The renderer could not be started"), true};
        m_cutShort = true;
        return id;
    }
    m_pending[id] = true;
    send({"render", std::to_string(id), QFile::encodeName(pdfPath).toStdString(), std::to_string(page),
          QString::number(dpi, 'f', 3).toStdString(), std::to_string(quality), blackWhite ? "1" : "0",
          QFile::encodeName(target).toStdString()});
    return id;
}

std::map<int, RenderClient::Outcome> RenderClient::waitAll()
{
    waitFor([&] { return m_pending.empty(); });
    std::map<int, Outcome> outcomes;
    outcomes.swap(m_finished);
    return outcomes;
}

} // namespace quarnel
