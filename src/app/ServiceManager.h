#pragma once

#include <QObject>
#include <QTimer>

namespace quarnel {

class ConversionPass;
class HeadlessCopy;

// What systemd is told of the service (Type=notify): that it is ready, what it does now (STATUS=), that
// its event loop lives (WATCHDOG=1, at half the unit's WatchdogSec=), that it is stopping; and its log
// lines in the journal at their priorities. Where systemd did not start it, only the lines are printed.
class ServiceManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServiceManager)

public:
    explicit ServiceManager(HeadlessCopy& copy, QObject* parent = nullptr);

    void ready();
    void stopping();
    // The status line between passes: the last pass and when the next one falls due.
    void showIdle();

private:
    void notify(const QByteArray& state);
    void tellPendingStatus();
    void lineLogged(const QString& line);

    HeadlessCopy& m_copy;
    QTimer m_watchdog;
    QTimer m_statusTimer;
    QByteArray m_pendingStatus;
};

} // namespace quarnel
