#pragma once

#include <QList>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace quarnel {

// One running copy of the program per user. The first copy holds a lock in the user's private folder
// and listens there; a later start finds the lock held, asks the running copy to show its window and
// ends. The kernel drops the lock with the process that held it, so a crashed copy never blocks a start.
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    explicit SingleInstance(QString folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this is the only copy (or the lock cannot be had at all, so nothing can be enforced).
    bool acquire();
    // Asks the copy that holds the lock to show its window; true when it was reached.
    bool askRunningCopyToShow();

signals:
    // Another start asked this copy to show its window.
    void showRequested();

private:
    void listen();

    QString m_folder;
    int m_lock = -1;
    QLocalServer* m_server = nullptr;
    QList<QLocalSocket*> m_clients; // connections being served now, oldest first
};

} // namespace quarnel
