#pragma once

#include "desktop/HotKey.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <functional>

namespace quarnel {

// Ctrl+Shift+T bound through the desktop's portal for global shortcuts (org.freedesktop.portal.
// GlobalShortcuts), where a Wayland desktop offers it: a session made when the hook is installed, the
// shortcut bound in it with Ctrl+Shift+T as the preferred trigger, one `pressed` per Activated signal,
// the session closed when the hook is removed. Every call is asynchronous, so the user-interface thread
// never waits for the portal. A portal that refuses or does not answer is told by `unavailable`.
class PortalHotKey final : public GlobalHotKey
{
    Q_OBJECT

public:
    explicit PortalHotKey(QDBusConnection bus = QDBusConnection::sessionBus());
    ~PortalHotKey() override;

    // Whether the bus has a portal that offers global shortcuts (asked once, briefly).
    static bool available(const QDBusConnection& bus = QDBusConnection::sessionBus());

    void InstallKeyboardHook() override;
    void RemoveKeyboardHook() override;
    QString wayInUse() const override;

    // The shortcut is bound: presses arrive from now on.
    bool bound() const { return m_bound; }
    // How long the portal may take to answer before it is taken as not there.
    void setAnswerLimit(int milliseconds) { m_answerLimit = milliseconds; }

signals:
    void boundChanged();

private slots:
    void onResponse(uint response, const QVariantMap& results);
    void onActivated(const QDBusMessage& message);

private:
    // Calls a portal method that answers through a request object, and hands its results on.
    void request(const QString& method, QList<QVariant> arguments, QVariantMap options,
                 std::function<void(const QVariantMap&)> then);
    void fail(const QString& why);

    QDBusConnection m_bus;
    QString m_session;
    QString m_pendingRequest;
    std::function<void(const QVariantMap&)> m_then;
    QTimer* m_answerTimer = nullptr;
    bool m_installed = false;
    bool m_bound = false;
    int m_tokens = 0;
    int m_answerLimit = 10000;
};

} // namespace quarnel
