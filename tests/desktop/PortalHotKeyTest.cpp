#include "desktop/PortalHotKey.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace quarnel;

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

// The desktop's portal for global shortcuts, as far as the program uses it, on a bus of the test's own:
// it notes every call, and answers as told.
class FakePortal final : public QDBusVirtualObject
{
public:
    enum class Answer { Normally, WithAnError, Never };

    explicit FakePortal(QDBusConnection bus)
        : m_bus(std::move(bus))
    { }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        const QString member = message.member();
        calls.append(member);
        if (member == QLatin1String("Get")) {
            m_bus.send(message.createReply(QVariant::fromValue(QDBusVariant(1u))));
            return true;
        }
        if (member == QLatin1String("Close")) {
            closed.append(message.path());
            m_bus.send(message.createReply());
            return true;
        }
        if (answer == Answer::Never)
            return true;
        if (answer == Answer::WithAnError) {
            m_bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                                                QStringLiteral("no shortcuts today")));
            return true;
        }
        const QList<QVariant> arguments = message.arguments();
        const QVariantMap options = qdbus_cast<QVariantMap>(arguments.last());
        QString sender = message.service();
        sender.remove(0, 1).replace(u'.', u'_');
        const QString request = kPath + QStringLiteral("/request/") + sender + u'/'
            + options.value(QStringLiteral("handle_token")).toString();
        m_bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QVariantMap results;
        if (member == QLatin1String("CreateSession")) {
            session = kPath + QStringLiteral("/session/") + sender + u'/'
                + options.value(QStringLiteral("session_handle_token")).toString();
            results.insert(QStringLiteral("session_handle"), session);
        } else if (member == QLatin1String("BindShortcuts")) {
            boundSession = qdbus_cast<QDBusObjectPath>(arguments[0]).path();
            const QDBusArgument shortcuts = arguments[1].value<QDBusArgument>();
            shortcuts.beginArray();
            while (!shortcuts.atEnd()) {
                QString id;
                QVariantMap properties;
                shortcuts.beginStructure();
                shortcuts >> id >> properties;
                shortcuts.endStructure();
                bound.append(id + u' ' + properties.value(QStringLiteral("preferred_trigger")).toString());
            }
            shortcuts.endArray();
        }
        QDBusMessage response = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"),
                                                           QStringLiteral("Response"));
        response << 0u << results;
        m_bus.send(response);
        return true;
    }

    QString introspect(const QString&) const override { return {}; }

    void activate(const QString& shortcut)
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            kPath, QStringLiteral("org.freedesktop.portal.GlobalShortcuts"), QStringLiteral("Activated"));
        signal << QVariant::fromValue(QDBusObjectPath(session)) << shortcut << qulonglong(0) << QVariantMap();
        m_bus.send(signal);
    }

    Answer answer = Answer::Normally;
    QStringList calls;
    QStringList bound;
    QStringList closed;
    QString session;
    QString boundSession;

private:
    QDBusConnection m_bus;
};

template <typename Condition> bool waitFor(Condition condition, int milliseconds = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}

// A session bus of the test's own, with the fake portal on it.
class PortalFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            GTEST_SKIP() << "no dbus-daemon";
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        ASSERT_TRUE(m_daemon.waitForReadyRead(10000));
        const QString address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        QDBusConnection portalBus = QDBusConnection::connectToBus(address, QStringLiteral("portal"));
        ASSERT_TRUE(portalBus.isConnected());
        portal = std::make_unique<FakePortal>(portalBus);
        ASSERT_TRUE(portalBus.registerVirtualObject(kPath, portal.get(), QDBusConnection::SubPath));
        ASSERT_TRUE(portalBus.registerService(kService));
        bus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, QStringLiteral("program")));
    }
    void TearDown() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("program"));
        QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    std::unique_ptr<FakePortal> portal;
    std::unique_ptr<QDBusConnection> bus;

private:
    QProcess m_daemon;
};

} // namespace

// A session made and the shortcut bound with Ctrl+Shift+T preferred; one Activated signal is one press;
// the session closed when the hook is removed, and no press after that.
TEST_F(PortalFixture, BindsCtrlShiftTAndEachActivationIsOnePress)
{
    ASSERT_TRUE(PortalHotKey::available(*bus));
    PortalHotKey hotKey(*bus);
    int presses = 0;
    QObject::connect(&hotKey, &GlobalHotKey::pressed, [&] { ++presses; });
    hotKey.InstallKeyboardHook();
    ASSERT_TRUE(waitFor([&] { return hotKey.bound(); }));
    EXPECT_EQ(portal->bound, QStringList {QStringLiteral("toggle-automatic CTRL+SHIFT+t")});
    EXPECT_EQ(portal->boundSession, portal->session);
    portal->activate(QStringLiteral("toggle-automatic"));
    EXPECT_TRUE(waitFor([&] { return presses == 1; }));
    portal->activate(QStringLiteral("toggle-automatic"));
    portal->activate(QStringLiteral("someone-elses"));
    EXPECT_TRUE(waitFor([&] { return presses == 2; }));
    hotKey.RemoveKeyboardHook();
    EXPECT_TRUE(waitFor([&] { return portal->closed == QStringList {portal->session}; }));
    portal->activate(QStringLiteral("toggle-automatic"));
    waitFor([] { return false; }, 200);
    EXPECT_EQ(presses, 2);
}

// A portal that refuses, or never answers: the hot key says so, and nothing else happens.
TEST_F(PortalFixture, APortalThatRefusesOrIsSilentIsToldAndNothingBreaks)
{
    for (const FakePortal::Answer answer : {FakePortal::Answer::WithAnError, FakePortal::Answer::Never}) {
        portal->answer = answer;
        PortalHotKey hotKey(*bus);
        hotKey.setAnswerLimit(1000);
        QString why;
        QObject::connect(&hotKey, &GlobalHotKey::unavailable, [&](const QString& text) { why = text; });
        hotKey.InstallKeyboardHook();
        EXPECT_TRUE(waitFor([&] { return !why.isEmpty(); })) << static_cast<int>(answer);
        EXPECT_FALSE(hotKey.bound());
    }
}
