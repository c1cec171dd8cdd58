#include "desktop/Autostart.h"
#include "support/Form1Fixture.h"

#include <QCheckBox>
#include <QCoreApplication>

using namespace quarnel;
using namespace quarnel::test;

TEST_F(Form1Fixture, TrayIconShowsFromStartUpAndGoesAtClose)
{
    form().Form_Load();
    EXPECT_TRUE(trayFake->visible);
    EXPECT_EQ(trayFake->tip, QStringLiteral("Quarnel"));
    EXPECT_FALSE(trayFake->icon.isNull());
    EXPECT_EQ(hotKey->installs, 1);
    form().Form_QueryUnload();
    EXPECT_FALSE(trayFake->visible);
    EXPECT_EQ(hotKey->removes, 1);
}

TEST_F(Form1Fixture, MinimisingHidesIntoTheTrayWithOneBalloon)
{
    form().Form_Load();
    form().show();
    form().setWindowState(Qt::WindowMinimized);
    form().Form_Resize();
    EXPECT_FALSE(form().isVisible());
    EXPECT_TRUE(form().minimizedToTray());
    ASSERT_EQ(trayFake->messages.size(), 1);
    EXPECT_TRUE(trayFake->messages[0].startsWith(
        QStringLiteral("Quarnel|has been minimized to the system tray.\r\nClick on the blue 'V' icon")));
    emit trayFake->clicked(2); // a right-button release brings it back too
    EXPECT_TRUE(form().isVisible());
    EXPECT_FALSE(form().minimizedToTray());
    form().setWindowState(Qt::WindowMinimized);
    form().Form_Resize();
    EXPECT_FALSE(form().isVisible());
    EXPECT_EQ(trayFake->messages.size(), 1); // the balloon only at the first minimise
    emit trayFake->clicked(1);
    EXPECT_TRUE(form().isVisible());
}

TEST_F(Form1Fixture, WithoutATrayTheWindowIsNeverHidden)
{
    trayAvailable = false;
    settings().SaveSetting(SettingKey::Minimized, QStringLiteral("On"));
    form().Form_Load();
    form().ShowAtStart();
    EXPECT_TRUE(form().isVisible());
    EXPECT_TRUE(form().windowState() & Qt::WindowMinimized);
    EXPECT_FALSE(form().minimizedToTray());
}

TEST_F(Form1Fixture, StartInTrayShowsOnlyTheIconAndTheBalloon)
{
    settings().SaveSetting(SettingKey::Minimized, QStringLiteral("On"));
    form().Form_Load();
    form().ShowAtStart();
    EXPECT_FALSE(form().isVisible());
    EXPECT_TRUE(form().minimizedToTray());
    EXPECT_EQ(trayFake->messages.size(), 1);
    emit trayFake->clicked(1);
    EXPECT_TRUE(form().isVisible());
    EXPECT_FALSE(form().windowState() & Qt::WindowMinimized);
}

TEST_F(Form1Fixture, StartAtLoginOptionWritesAndRemovesTheEntry)
{
    form().Form_Load();
    auto* check3 = child<QCheckBox>("Check3");
    auto* check8 = child<QCheckBox>("Check8");
    const QString entry = AutostartEntryPath(program.file(QStringLiteral("quarnel")));
    check3->click();
    EXPECT_TRUE(QFile::exists(entry));
    EXPECT_EQ(settings().GetSetting(SettingKey::WindowsStartup), QStringLiteral("On"));
    check8->click();
    EXPECT_EQ(settings().GetSetting(SettingKey::Minimized), QStringLiteral("On"));
    check3->click();
    EXPECT_FALSE(QFile::exists(entry));
    EXPECT_FALSE(check8->isChecked());
    EXPECT_TRUE(check8->isHidden());
    EXPECT_EQ(settings().GetSetting(SettingKey::Minimized), QStringLiteral("Off"));
    EXPECT_EQ(settings().GetSetting(SettingKey::WindowsStartup), QStringLiteral("Off"));
}

TEST_F(Form1Fixture, StoredStartAtLoginRewritesTheEntryAtEveryStart)
{
    settings().SaveSetting(SettingKey::WindowsStartup, QStringLiteral("On"));
    form().Form_Load();
    const QString entry = AutostartEntryPath(program.file(QStringLiteral("quarnel")));
    EXPECT_TRUE(QFile::exists(entry));
    EXPECT_TRUE(TempTree::read(entry).contains(QFile::encodeName(program.file(QStringLiteral("quarnel")))));
}

TEST_F(Form1Fixture, UpperCaseOnDoesNotTickTheBox)
{
    settings().SaveSetting(SettingKey::WindowsStartup, QStringLiteral("ON"));
    form().Form_Load();
    EXPECT_FALSE(child<QCheckBox>("Check3")->isChecked());
    EXPECT_FALSE(QFile::exists(AutostartEntryPath(program.file(QStringLiteral("quarnel")))));
}

TEST_F(Form1Fixture, HotKeyTogglesLikeTheButton)
{
    form().Form_Load();
    emit hotKey->pressed();
    EXPECT_TRUE(form().scheduler().isOn());
    emit hotKey->pressed();
    EXPECT_FALSE(form().scheduler().isOn());
}
