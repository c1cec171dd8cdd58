#include "desktop/SingleInstance.h"

#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quarnel {

namespace {

// Every message is one line: a word, a tab and a text with its line ends and tabs percent-encoded.
const QByteArray kShowRequest = QByteArrayLiteral("show\n");
const QByteArray kShown = QByteArrayLiteral("shown");
const QByteArray kWithoutWindow = QByteArrayLiteral("service");
// Anyone of this user can connect: a few connections are served at a time, each for a few seconds
// unless it asks something; a few dozen requests at most wait to be answered.
constexpr int kMostClients = 4;
constexpr int kMostRequests = 64;
constexpr int kIdleMilliseconds = 3000;
constexpr int kLongestLine = 1 << 16;

QByteArray messageLine(const QString& word, const QString& text)
{
    return word.toUtf8() + '\t' + QUrl::toPercentEncoding(text) + '\n';
}

QPair<QString, QString> parseLine(QByteArray line)
{
    line.chop(1);
    const qsizetype tab = line.indexOf('\t');
    if (tab < 0)
        return {QString::fromUtf8(line), QString()};
    return {QString::fromUtf8(line.left(tab)), QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(tab + 1)))};
}

} // namespace

InstanceRequest::InstanceRequest(QLocalSocket* socket, QString command, QString argument)
    : QObject(socket)
    , m_socket(socket)
    , m_command(std::move(command))
    , m_argument(std::move(argument))
{
    connect(socket, &QLocalSocket::disconnected, this, [this] {
        if (!m_finished)
            emit abandoned();
    });
}

void InstanceRequest::reply(const QString& kind, const QString& text)
{
    if (m_finished || m_socket->state() != QLocalSocket::ConnectedState)
        return;
    m_socket->write(messageLine(kind, text));
    m_socket->flush();
}

void InstanceRequest::finish(int status)
{
    reply(QStringLiteral("end"), QString::number(status));
    m_finished = true;
    m_socket->disconnectFromServer();
}

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
            serve(client);
        }
    });
    if (!m_server->listen(name))
        qWarning("Quarnel: a second start cannot reach this copy: %s", qPrintable(m_server->errorString()));
}

void SingleInstance::serve(QLocalSocket* client)
{
    m_clients.append(client);
    connect(client, &QObject::destroyed, this, [this, client] { m_clients.removeOne(client); });
    auto* idle = new QTimer(client);
    idle->setSingleShot(true);
    connect(idle, &QTimer::timeout, client, [client] {
        client->abort();
        client->deleteLater();
    });
    idle->start(kIdleMilliseconds);
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client, idle] {
        if (!m_clients.contains(client))
            return; // asked already; nothing more is read from it
        if (!client->canReadLine()) {
            if (client->bytesAvailable() > kLongestLine)
                client->abort();
            return;
        }
        const QByteArray line = client->readLine(kLongestLine);
        if (line == kShowRequest || line.startsWith("show ")) {
            client->write((m_withoutWindow ? kWithoutWindow : kShown) + '\n');
            client->flush();
            // A token is one word of printable characters; anything else is not one.
            QByteArray token = line.mid(5).trimmed();
            if (std::any_of(token.begin(), token.end(), [](char c) { return c <= ' ' || c > '~'; }))
                token.clear();
            if (!m_withoutWindow)
                emit showRequested(token);
            client->disconnectFromServer();
            return;
        }
        const int asking = static_cast<int>(findChildren<InstanceRequest*>(Qt::FindChildrenRecursively).size());
        const auto [command, argument] = parseLine(line);
        if (asking >= kMostRequests || command.isEmpty()) {
            client->abort();
            return;
        }
        // Served from now on for as long as the request takes: no longer an idle connection.
        idle->stop();
        m_clients.removeOne(client);
        client->setParent(this);
        client->write(messageLine(QStringLiteral("accepted"), QString()));
        client->flush();
        emit requestReceived(new InstanceRequest(client, command, argument));
    });
}

bool SingleInstance::askRunningCopyToShow(const QByteArray& activationToken)
{
    QLocalSocket socket;
    socket.connectToServer(m_folder + QStringLiteral("/instance.socket"));
    if (!socket.waitForConnected(3000))
        return false;
    socket.write(activationToken.isEmpty() ? kShowRequest : "show " + activationToken + '\n');
    const bool sent = socket.waitForBytesWritten(3000);
    if (socket.waitForReadyRead(3000) && socket.canReadLine())
        m_copyIsService = socket.readLine().trimmed() == kWithoutWindow;
    socket.waitForDisconnected(1000);
    return sent;
}

InstanceAnswer SingleInstance::ask(const QString& command, const QString& argument,
                                   const std::function<void(const QString& kind, const QString& text)>& onReply,
                                   int answerLimitMs)
{
    InstanceAnswer answer;
    QLocalSocket socket;
    QElapsedTimer clock;
    clock.start();
    socket.connectToServer(m_folder + QStringLiteral("/instance.socket"));
    if (!socket.waitForConnected(answerLimitMs)) {
        answer.outcome = socket.error() == QLocalSocket::SocketTimeoutError ? InstanceAnswer::Outcome::NoAnswer
                                                                            : InstanceAnswer::Outcome::NoCopy;
        return answer;
    }
    socket.write(messageLine(command, argument));
    socket.flush();
    bool accepted = false;
    answer.outcome = InstanceAnswer::Outcome::NoAnswer;
    for (;;) {
        while (socket.canReadLine()) {
            const auto [kind, text] = parseLine(socket.readLine());
            if (kind == QLatin1String("accepted")) {
                accepted = true;
                answer.outcome = InstanceAnswer::Outcome::Dropped;
            } else if (kind == QLatin1String("end")) {
                answer.outcome = InstanceAnswer::Outcome::Finished;
                answer.status = text.toInt();
                return answer;
            } else {
                onReply(kind, text);
            }
        }
        // Closed before it took the request: that copy is ending, and a start may take its place.
        if (socket.state() != QLocalSocket::ConnectedState) {
            if (!accepted)
                answer.outcome = InstanceAnswer::Outcome::NoCopy;
            return answer;
        }
        // Once taken, a request may run as long as a pass runs.
        const qint64 left = accepted ? -1 : answerLimitMs - clock.elapsed();
        if (!accepted && left <= 0)
            return answer;
        socket.waitForReadyRead(static_cast<int>(left));
    }
}

} // namespace quarnel
