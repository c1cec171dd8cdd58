#include "desktop/SingleInstance.h"

#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quarnel {

namespace {

const QByteArray kShowRequest = QByteArrayLiteral("show\n");
// Anyone of this user can connect: a few connections are served at a time, each for a few seconds.
constexpr int kMostClients = 4;
constexpr int kIdleMilliseconds = 3000;

} // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent)
    , m_folder(std::move(folder))
{ }

SingleInstance::~SingleInstance()
{
    if (m_lock >= 0)
        ::close(m_lock);
}

bool SingleInstance::acquire()
{
    try {
        UsePrivateFolder(m_folder);
        m_lock = OpenPrivateFile(m_folder + QStringLiteral("/instance.lock"), O_RDWR | O_CREAT);
    } catch (const RuntimeError& error) {
        qWarning("Quarnel: no single-instance lock in %s (%s); starting anyway", qPrintable(m_folder), error.what());
        return true;
    }
    int locked;
    do {
        locked = ::flock(m_lock, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        ::close(m_lock);
        m_lock = -1;
        return false;
    }
    listen();
    return true;
}

void SingleInstance::listen()
{
    const QString name = m_folder + QStringLiteral("/instance.socket");
    // A socket left by a copy that crashed: the lock says no copy listens on it any more.
    QLocalServer::removeServer(name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            // The oldest gives way to the newest, so that a start asking now is always heard.
            if (m_clients.size() >= kMostClients) {
                QLocalSocket* oldest = m_clients.takeFirst();
                oldest->abort();
                oldest->deleteLater();
            }
            m_clients.append(client);
            connect(client, &QObject::destroyed, this, [this, client] { m_clients.removeOne(client); });
            QTimer::singleShot(kIdleMilliseconds, client, [client] {
                client->abort();
                client->deleteLater();
            });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->readAll().contains(kShowRequest.trimmed()))
                    emit showRequested();
                client->disconnectFromServer();
            });
        }
    });
    if (!m_server->listen(name))
        qWarning("Quarnel: a second start cannot reach this copy: %s", qPrintable(m_server->errorString()));
}

bool SingleInstance::askRunningCopyToShow()
{
    QLocalSocket socket;
    socket.connectToServer(m_folder + QStringLiteral("/instance.socket"));
    if (!socket.waitForConnected(3000))
        return false;
    socket.write(kShowRequest);
    const bool sent = socket.waitForBytesWritten(3000);
    socket.waitForDisconnected(1000);
    return sent;
}

} // namespace quarnel
