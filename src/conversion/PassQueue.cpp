#include "conversion/PassQueue.h"

#include <QTimer>

namespace quarnel {

PassQueue::PassQueue(ConversionPass& pass, QObject* parent)
    : QObject(parent)
    , m_pass(pass)
{
    connect(&m_pass, &ConversionPass::lineLogged, this, [this](const QString& line) {
        for (const auto& [id, asker] : m_current)
            asker.onLine(line);
    });
    // A pass started by the window's button or timer: the requests wait for its end.
    connect(&m_pass, &ConversionPass::passFinished, this, [this] {
        if (!m_waiting.empty())
            startSoon();
    });
}

int PassQueue::request(LineHandler onLine, DoneHandler onDone)
{
    const int id = m_next++;
    m_waiting[id] = {std::move(onLine), std::move(onDone)};
    if (!m_pass.running())
        startSoon();
    return id;
}

void PassQueue::cancel(int id)
{
    m_waiting.erase(id);
    m_current.erase(id);
}

void PassQueue::startSoon()
{
    // Started from the event loop, never inside the handler that asked (or inside the pass that ended).
    if (m_startQueued)
        return;
    m_startQueued = true;
    QTimer::singleShot(0, this, &PassQueue::start);
}

void PassQueue::start()
{
    m_startQueued = false;
    if (m_waiting.empty() || m_pass.running())
        return;
    m_current.swap(m_waiting);
    PassSummary summary;
    if (m_pass.stopRequested()) {
        summary.refusal = QStringLiteral("the program is ending");
    } else {
        m_pass.ConvertPDFs(true);
        summary = m_pass.lastSummary();
    }
    std::map<int, Asker> done;
    done.swap(m_current);
    for (const auto& [id, asker] : done)
        asker.onDone(summary);
    if (m_waiting.empty())
        emit drained();
    else
        startSoon();
}

int PassExitStatus(const PassSummary& summary)
{
    if (!summary.ran || summary.stopped)
        return 3;
    return summary.failed > 0 ? 1 : 0;
}

QString PassSummaryLine(const PassSummary& summary)
{
    if (!summary.ran)
        return QStringLiteral("The pass did not run: ") + summary.refusal;
    return QStringLiteral("%1 converted, %2 skipped, %3 failed in %4 seconds%5")
        .arg(summary.converted)
        .arg(summary.skipped)
        .arg(summary.failed)
        .arg(summary.seconds, 0, 'f', 2)
        .arg(summary.stopped ? QStringLiteral("; stopped before the end of the pass") : QString());
}

} // namespace quarnel
