#include "app/ServiceManager.h"

#include "app/HeadlessCopy.h"
#include "conversion/LogReport.h"
#include "core/Journal.h"

#include <QDateTime>
#include <cstdio>
#include <systemd/sd-daemon.h>
#include <utility>

namespace quarnel {

ServiceManager::ServiceManager(HeadlessCopy& copy, QObject* parent)
    : QObject(parent)
    , m_copy(copy)
{
    ConversionPass& pass = copy.pass();
    connect(&pass, &ConversionPass::lineLogged, this, &ServiceManager::lineLogged);
    // Thousands of skipped PDFs a pass would be thousands of messages: at most two a second, the
    // newest always told.
    m_statusTimer.setSingleShot(true);
    m_statusTimer.setInterval(500);
    connect(&m_statusTimer, &QTimer::timeout, this, &ServiceManager::tellPendingStatus);
    connect(&pass, &ConversionPass::progressed, this, [this, &pass] {
        const PassProgress& at = pass.progress();
        m_pendingStatus = QStringLiteral("STATUS=Converting: folder %1 of %2, PDF %3 of %4: %5")
                              .arg(at.folder)
                              .arg(at.folders)
                              .arg(at.file)
                              .arg(at.files)
                              .arg(at.pdf)
                              .toUtf8();
        if (!m_statusTimer.isActive())
            tellPendingStatus();
    });
    // The watchdog is fed from the event loop itself: a loop that stops turning stops feeding it.
    uint64_t microseconds = 0;
    if (sd_watchdog_enabled(0, &microseconds) > 0 && microseconds > 0) {
        m_watchdog.setInterval(static_cast<int>(std::max<uint64_t>(microseconds / 2000, 1)));
        connect(&m_watchdog, &QTimer::timeout, this, [this] { notify("WATCHDOG=1"); });
        m_watchdog.start();
    }
}

void ServiceManager::ready()
{
    notify("READY=1\nSTATUS=Started; the first pass is due after the interval.");
}

void ServiceManager::stopping()
{
    notify("STOPPING=1\nSTATUS=Stopping after the PDF being converted.");
}

void ServiceManager::showIdle()
{
    const CopySchedule schedule = m_copy.schedule();
    const PassSummary& last = m_copy.pass().lastFinished();
    QString text
        = last.ended.isValid() ? QStringLiteral("Idle. Last pass: ") + PassSummaryLine(last) : QStringLiteral("Idle.");
    text += schedule.nextPass.isValid()
        ? QStringLiteral(" Next pass at %1.").arg(schedule.nextPass.toString(QStringLiteral("HH:mm:ss")))
        : QStringLiteral(" Automatic conversion is off.");
    m_pendingStatus.clear();
    notify("STATUS=" + text.toUtf8());
}

void ServiceManager::tellPendingStatus()
{
    if (m_pendingStatus.isEmpty())
        return;
    notify(std::exchange(m_pendingStatus, {}));
    m_statusTimer.start();
}

void ServiceManager::notify(const QByteArray& state)
{
    // Without NOTIFY_SOCKET (not started by systemd) this does nothing.
    sd_notify(0, state.constData());
}

void ServiceManager::lineLogged(const QString& line)
{
    QString pdf;
    const LoggedKind kind = KindOfLogLine(line, &pdf);
    if (kind == LoggedKind::Skipped)
        return; // a line per PDF and pass: the log has them, the journal would drown in them
    const JournalPriority priority = kind == LoggedKind::Converted ? JournalPriority::Info
        : kind == LoggedKind::Failed                               ? JournalPriority::Warning
                                                                   : JournalPriority::Notice;
    if (StderrIsJournal() && SendToJournal(priority, line, pdf))
        return;
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

} // namespace quarnel
