#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;
class QLocalSocket;

namespace quarnel {

// A request from a later start of the program (the command line) to the running copy, with the
// connection its answers go back on. Deleted when the connection closes.
class InstanceRequest final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InstanceRequest)

public:
    InstanceRequest(QLocalSocket* socket, QString command, QString argument);

    QString command() const { return m_command; }
    QString argument() const { return m_argument; }
    // One answer line of the given kind ("line", "row", "error", ...).
    void reply(const QString& kind, const QString& text);
    // The last answer: the status the command ends with; the connection then closes.
    void finish(int status);

signals:
    // The asking side went away before the request was finished.
    void abandoned();

private:
    QLocalSocket* m_socket;
    QString m_command;
    QString m_argument;
    bool m_finished = false;
};

// How a request to the running copy went.
struct InstanceAnswer
{
    enum class Outcome {
        Finished, // `status` is the copy's
        NoCopy, // no copy listens
        NoAnswer, // a copy holds the lock but did not answer in time
        Dropped, // the copy went away before it finished
    } outcome
        = Outcome::NoCopy;
    int status = 0;
};

// One running copy of the program per user. The first copy holds a lock in the user's private folder
// and listens there; a later start finds the lock held and hands its request to the running copy (show
// the window, or a command-line request) and ends. The kernel drops the lock with the process that held
// it, so a crashed copy never blocks a start.
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    explicit SingleInstance(QString folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this is the only copy (or the lock cannot be had at all, so nothing can be enforced).
    bool acquire();
    // Asks the copy that holds the lock to show its window; true when it was reached. The activation token
    // this start was given (Wayland's XDG_ACTIVATION_TOKEN), if any, goes with it: with it the compositor
    // lets the running copy's window take the focus.
    bool askRunningCopyToShow(const QByteArray& activationToken = {});
    // True when the running copy answered the last show request as a copy without a window.
    bool runningCopyIsService() const { return m_copyIsService; }
    // A copy without a window answers show requests so.
    void setWithoutWindow(bool without) { m_withoutWindow = without; }

    // Hands a command to the running copy and waits for its answers (each to `onReply`) and its end.
    // The copy must take the request within `answerLimitMs`.
    InstanceAnswer ask(const QString& command, const QString& argument,
                       const std::function<void(const QString& kind, const QString& text)>& onReply,
                       int answerLimitMs = 10000);

signals:
    // Another start asked this copy to show its window, with the activation token it was given (or none).
    void showRequested(const QByteArray& activationToken);
    // Another start handed this copy a command; the receiver answers and finishes it.
    void requestReceived(quarnel::InstanceRequest* request);

private:
    void listen();
    void serve(QLocalSocket* client);

    QString m_folder;
    int m_lock = -1;
    QLocalServer* m_server = nullptr;
    QList<QLocalSocket*> m_clients; // connections not yet asking anything, oldest first
    bool m_withoutWindow = false;
    bool m_copyIsService = false;
};

} // namespace quarnel
