#pragma once

#include <QObject>

class QSocketNotifier;

namespace quarnel {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the user-interface thread, so that the program
// ends through its close handling rather than losing the folder list.
class TerminationSignals final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TerminationSignals)

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested();

private:
    void readPending();

    QSocketNotifier* m_notifier = nullptr;
};

} // namespace quarnel
