#include "desktop/PortalHotKey.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>

namespace quarnel {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kShortcutId = QStringLiteral("toggle-automatic");

// One shortcut as BindShortcuts takes it: (sa{sv}).
struct Shortcut
{
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace

} // namespace quarnel

Q_DECLARE_METATYPE(quarnel::Shortcut)

namespace quarnel {

PortalHotKey::PortalHotKey(QDBusConnection bus)
    : m_bus(std::move(bus))
{
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    m_answerTimer = new QTimer(this);
    m_answerTimer->setSingleShot(true);
    connect(m_answerTimer, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("the desktop's portal did not answer")); });
}

PortalHotKey::~PortalHotKey()
{
    RemoveKeyboardHook();
}

bool PortalHotKey::available(const QDBusConnection& bus)
{
    if (!bus.isConnected())
        return false;
    QDBusMessage ask = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    ask << kShortcuts << QStringLiteral("version");
    // Events are served meanwhile, so that a portal in this very process (a test's) can answer.
    const QDBusMessage answer = bus.call(ask, QDBus::BlockWithGui, 2000);
    return answer.type() == QDBusMessage::ReplyMessage;
}

QString PortalHotKey::wayInUse() const
{
    return QStringLiteral("Ctrl+Shift+T comes through the desktop's global shortcuts.");
}

void PortalHotKey::InstallKeyboardHook()
{
    if (m_installed)
        return;
    m_installed = true;
    m_bus.connect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    const QString sessionToken = QStringLiteral("quarnel%1").arg(++m_tokens);
    request(QStringLiteral("CreateSession"), {}, {{QStringLiteral("session_handle_token"), sessionToken}},
            [this](const QVariantMap& results) {
                const QVariant handle = results.value(QStringLiteral("session_handle"));
                m_session = handle.canConvert<QDBusObjectPath>() && handle.userType() != QMetaType::QString
                    ? handle.value<QDBusObjectPath>().path()
                    : handle.toString();
                if (m_session.isEmpty()) {
                    fail(QStringLiteral("the desktop's portal gave no session"));
                    return;
                }
                const QList<Shortcut> shortcuts {
                    {kShortcutId,
                     {{QStringLiteral("description"), QStringLiteral("Turn automatic conversion on or off")},
                      {QStringLiteral("preferred_trigger"), QStringLiteral("CTRL+SHIFT+t")}}}};
                request(QStringLiteral("BindShortcuts"),
                        {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts), QString()},
                        {}, [this](const QVariantMap&) {
                            m_bound = true;
                            emit boundChanged();
                        });
            });
}

void PortalHotKey::RemoveKeyboardHook()
{
    if (!m_installed)
        return;
    m_installed = false;
    m_answerTimer->stop();
    m_then = nullptr;
    m_bus.disconnect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    if (!m_pendingRequest.isEmpty())
        m_bus.disconnect(kService, m_pendingRequest, kRequest, QStringLiteral("Response"), this,
                         SLOT(onResponse(uint, QVariantMap)));
    m_pendingRequest.clear();
    if (!m_session.isEmpty()) {
        // Closed without waiting for an answer: the program may be ending.
        m_bus.asyncCall(QDBusMessage::createMethodCall(
            kService, m_session, QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Close")));
    }
    m_session.clear();
    if (m_bound) {
        m_bound = false;
        emit boundChanged();
    }
}

void PortalHotKey::request(const QString& method, QList<QVariant> arguments, QVariantMap options,
                           std::function<void(const QVariantMap&)> then)
{
    // The answer comes as a signal on a request object whose path follows from the token: listened to
    // before the call, so that a quick answer is never missed.
    const QString token = QStringLiteral("quarnel%1").arg(++m_tokens);
    options.insert(QStringLiteral("handle_token"), token);
    QString sender = m_bus.baseService();
    sender.remove(0, 1).replace(u'.', u'_');
    m_pendingRequest = QStringLiteral("/org/freedesktop/portal/desktop/request/") + sender + u'/' + token;
    m_then = std::move(then);
    m_bus.connect(kService, m_pendingRequest, kRequest, QStringLiteral("Response"), this,
                  SLOT(onResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kShortcuts, method);
    arguments.append(options);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_answerLimit), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        if (watcher->isError())
            fail(QStringLiteral("the desktop's portal refused: ") + watcher->error().message());
    });
    m_answerTimer->start(m_answerLimit);
}

void PortalHotKey::onResponse(uint response, const QVariantMap& results)
{
    m_answerTimer->stop();
    m_bus.disconnect(kService, m_pendingRequest, kRequest, QStringLiteral("Response"), this,
                     SLOT(onResponse(uint, QVariantMap)));
    m_pendingRequest.clear();
    auto then = std::exchange(m_then, nullptr);
    if (response != 0) {
        fail(response == 1 ? QStringLiteral("the shortcut was declined")
                           : QStringLiteral("the desktop's portal failed"));
        return;
    }
    if (then)
        then(results);
}

void PortalHotKey::onActivated(const QDBusMessage& message)
{
    // (session, shortcut, timestamp, options): one press of the shortcut bound in this session.
    const QList<QVariant> arguments = message.arguments();
    if (m_installed && arguments.size() >= 2 && qdbus_cast<QDBusObjectPath>(arguments[0]).path() == m_session
        && arguments[1].toString() == kShortcutId)
        emit pressed();
}

void PortalHotKey::fail(const QString& why)
{
    if (!m_installed)
        return;
    RemoveKeyboardHook();
    emit unavailable(why);
}

} // namespace quarnel
