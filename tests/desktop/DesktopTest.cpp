#include "desktop/Autostart.h"
#include "desktop/HotKey.h"
#include "desktop/SingleInstance.h"
#include "desktop/SysTray.h"
#include "support/Fakes.h"
#include "support/TempTree.h"
#include "ui/ApplicationIcon.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QPixmap>
#include <QProcess>
#include <gtest/gtest.h>

using namespace quarnel;
using namespace quarnel::test;

namespace {

struct Tray
{
    Tray()
    {
        auto owned = std::make_unique<FakeTray>();
        backend = owned.get();
        control = std::make_unique<cSysTray>(std::move(owned));
    }
    FakeTray* backend;
    std::unique_ptr<cSysTray> control;
};

QIcon blueIcon()
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::blue);
    return QIcon(pixmap);
}

} // namespace

TEST(SysTray, AddsOnceRemovesOnceAndNeverOutlivesItself)
{
    Tray tray;
    EXPECT_EQ(tray.control->TrayTip(), QStringLiteral("Telnet Server"));
    tray.control->setTrayTip(QStringLiteral("Quarnel"));
    tray.control->setTrayIcon(blueIcon());
    tray.control->setInTray(true);
    tray.control->setInTray(true);
    EXPECT_EQ(tray.backend->shows, 1);
    EXPECT_EQ(tray.backend->tip, QStringLiteral("Quarnel"));
    tray.control->setTrayTip(QString(200, u'x'));
    EXPECT_EQ(tray.backend->tip.size(), 127);
    tray.control->setTrayIcon(QIcon()); // not an icon: ignored
    EXPECT_FALSE(tray.backend->icon.isNull());
    tray.control->setInTray(false);
    tray.control->setInTray(false);
    EXPECT_EQ(tray.backend->hides, 1);
}

TEST(SysTray, ClicksBecomeButtonReleases)
{
    Tray tray;
    std::vector<std::pair<int, short>> events; // 0 down, 1 up, 2 double
    QObject::connect(tray.control.get(), &cSysTray::MouseDown, [&](short b, int) { events.push_back({0, b}); });
    QObject::connect(tray.control.get(), &cSysTray::MouseUp, [&](short b, int) { events.push_back({1, b}); });
    QObject::connect(tray.control.get(), &cSysTray::MouseDblClick, [&](short b, int) { events.push_back({2, b}); });
    emit tray.backend->clicked(1);
    emit tray.backend->clicked(2);
    emit tray.backend->doubleClicked(1);
    EXPECT_EQ(events, (std::vector<std::pair<int, short>> {{0, 1}, {1, 1}, {0, 2}, {1, 2}, {2, 1}}));
}

TEST(SysTray, OnceBalloonShowsOnceAndItsWaitEndsWhenClickedOrClearsIt)
{
    Tray tray;
    tray.control->setInTray(true);
    tray.backend->clickBalloonAt = 100;
    QElapsedTimer clock;
    clock.start();
    tray.control->ShowBalloon(QString(300, u'b'), QStringLiteral("Quarnel"), 5, true);
    EXPECT_LT(clock.elapsed(), 3000);
    ASSERT_EQ(tray.backend->messages.size(), 1);
    EXPECT_EQ(tray.backend->messages[0], QStringLiteral("Quarnel|") + QString(255, u'b') + QStringLiteral("|5000"));
    tray.control->ShowBalloon(QStringLiteral("again"), QStringLiteral("Quarnel"), 5, true);
    EXPECT_EQ(tray.backend->messages.size(), 1);
    EXPECT_EQ(tray.backend->clears, 0); // clicked away: nothing left to clear
    // Unclicked, the wait lasts the given seconds, and then the balloon is taken away.
    tray.backend->clickBalloonAt = -1;
    tray.control->ShowBalloon(QStringLiteral("not once"), QStringLiteral("Quarnel"), 0, false);
    EXPECT_EQ(tray.backend->messages.size(), 2);
    clock.restart();
    tray.control->ShowBalloon(QStringLiteral("wait"), QStringLiteral("Quarnel"), 1, false);
    EXPECT_GE(clock.elapsed(), 950);
    EXPECT_EQ(tray.backend->clears, 2);
}

// Anyone of this user can connect to the running copy: connections left idle are closed, and never keep
// the copy from answering (or, piling up, from opening files).
TEST(SingleInstance, IdleConnectionsAreClosedAndNeverCrowdOutAShowRequest)
{
    TempTree tree;
    SingleInstance first(tree.path());
    ASSERT_TRUE(first.acquire());
    int shows = 0;
    QByteArray token;
    QObject::connect(&first, &SingleInstance::showRequested, [&](const QByteArray& given) {
        ++shows;
        token = given;
    });
    std::vector<std::unique_ptr<QLocalSocket>> idle;
    for (int i = 0; i < 40; ++i) {
        idle.push_back(std::make_unique<QLocalSocket>());
        idle.back()->connectToServer(tree.file(QStringLiteral("instance.socket")));
    }
    const auto allClosed = [&] {
        return std::all_of(idle.begin(), idle.end(),
                           [](const auto& socket) { return socket->state() == QLocalSocket::UnconnectedState; });
    };
    QElapsedTimer clock;
    clock.start();
    // Long before their idle time is up, only the newest few are kept: a flood cannot pile up.
    while (clock.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_LE(std::count_if(idle.begin(), idle.end(),
                            [](const auto& socket) { return socket->state() == QLocalSocket::ConnectedState; }),
              4);
    while (!allClosed() && clock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(allClosed()) << "idle connections are kept open";
    SingleInstance second(tree.path());
    EXPECT_FALSE(second.acquire());
    // The activation token of the start that asks goes with its request (a Wayland compositor wants it).
    EXPECT_TRUE(second.askRunningCopyToShow("launcher-token_42"));
    clock.restart();
    while (shows == 0 && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(shows, 1);
    EXPECT_EQ(token, QByteArray("launcher-token_42"));
}

TEST(Autostart, ExecQuotingFollowsTheDesktopEntryRules)
{
    EXPECT_EQ(DesktopExecArgument(QStringLiteral("/opt/quarnel/quarnel")), QStringLiteral("\"/opt/quarnel/quarnel\""));
    EXPECT_EQ(DesktopExecArgument(QStringLiteral("/home/me/My Apps/quarnel")),
              QStringLiteral("\"/home/me/My Apps/quarnel\""));
    EXPECT_EQ(DesktopExecArgument(QStringLiteral("/a\"b/q")), QStringLiteral("\"/a\\\\\"b/q\""));
    EXPECT_EQ(DesktopExecArgument(QStringLiteral("/a\\b/q")), QStringLiteral("\"/a\\\\\\\\b/q\""));
    EXPECT_EQ(DesktopExecArgument(QStringLiteral("/$HOME/100%/q")), QStringLiteral("\"/\\\\$HOME/100%%/q\""));
}

TEST(Autostart, EntryIsWrittenAndRemoved)
{
    TempTree config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const QString program = QStringLiteral("/opt/my apps/quarnel");
    EXPECT_EQ(AutostartEntryPath(program), config.path() + QStringLiteral("/autostart/quarnel.desktop"));
    EnableWindowsStartup(program);
    const QByteArray entry = TempTree::read(AutostartEntryPath(program));
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(entry.contains("\nType=Application\n"));
    EXPECT_TRUE(entry.contains("\nName=Quarnel\n"));
    EXPECT_TRUE(entry.contains("\nExec=\"/opt/my apps/quarnel\"\n"));
    // Line ends and tabs in the path are escaped the way desktop entries escape them.
    const QString odd = QStringLiteral("/opt/odd\tname\r\nquarnel");
    EnableWindowsStartup(odd);
    EXPECT_TRUE(TempTree::read(AutostartEntryPath(odd)).contains("\nExec=\"/opt/odd\\tname\\r\\nquarnel\"\n"));
    if (QFile::exists(QStringLiteral("/usr/bin/desktop-file-validate"))) {
        QProcess validate;
        validate.start(QStringLiteral("desktop-file-validate"), {AutostartEntryPath(odd)});
        ASSERT_TRUE(validate.waitForFinished(10000));
        EXPECT_EQ(validate.exitCode(), 0) << validate.readAll().constData();
    }
    DisableWindowsStartup(odd);
    DisableWindowsStartup(program);
    EXPECT_FALSE(QFile::exists(AutostartEntryPath(program)));
}

TEST(HotKeyTracker, CtrlShiftTOncePerPress)
{
    // Key codes: 37/105 Control, 50/62 Shift, 28 T, 29 Y.
    HotKeyTracker tracker({37, 105}, {50, 62}, 28);
    EXPECT_FALSE(tracker.press(28)); // T alone
    tracker.release(28);
    EXPECT_FALSE(tracker.press(37));
    EXPECT_FALSE(tracker.press(28)); // Ctrl+T
    tracker.release(28);
    EXPECT_FALSE(tracker.press(62));
    EXPECT_FALSE(tracker.press(29)); // Ctrl+Shift+Y
    tracker.release(29);
    EXPECT_TRUE(tracker.press(28)); // Ctrl+Shift+T
    EXPECT_FALSE(tracker.press(28)); // held down: repeats do not count
    tracker.release(28);
    EXPECT_TRUE(tracker.press(28)); // a second press toggles again
    tracker.release(28);
    tracker.release(37);
    EXPECT_FALSE(tracker.press(28)); // Shift+T
}

TEST(HotKeyTracker, ModifiersAlreadyDownAtTheStartCount)
{
    HotKeyTracker tracker({37}, {50}, 28);
    tracker.seed({37, 50});
    EXPECT_TRUE(tracker.press(28));
}

TEST(GlobalHotKey, WithoutX11ItIsAbsent)
{
    // The tests run on the offscreen platform: no X11 display to watch, so nothing may ever be reported
    // as a press, however often the hook is put in and taken out.
    auto hotKey = GlobalHotKey::create();
    ASSERT_NE(hotKey, nullptr);
    int presses = 0;
    QObject::connect(hotKey.get(), &GlobalHotKey::pressed, [&] { ++presses; });
    for (int round = 0; round < 2; ++round) {
        hotKey->InstallKeyboardHook();
        QCoreApplication::processEvents();
        hotKey->RemoveKeyboardHook();
    }
    hotKey->RemoveKeyboardHook();
    QCoreApplication::processEvents();
    EXPECT_EQ(presses, 0);
}

TEST(ApplicationIcon, ABlueVOnALightTile)
{
    for (const int size : {16, 22, 48}) {
        const QImage icon = ApplicationIconImage(size);
        const QColor centreOfTheV = icon.pixelColor(size / 2, size * 7 / 10);
        const QColor tileBesideIt = icon.pixelColor(size / 2, size / 4);
        EXPECT_GT(centreOfTheV.blue(), 150) << size;
        EXPECT_LT(centreOfTheV.red(), 100) << size;
        EXPECT_GT(tileBesideIt.lightness(), 200) << size;
        EXPECT_EQ(tileBesideIt.alpha(), 255) << size;
    }
}
