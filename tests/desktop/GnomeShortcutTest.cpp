#include "desktop/GnomeShortcut.h"

#include "core/SettingsStore.h"
#include "support/TempTree.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

const QString kKeys = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys");
const QString kOne = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys.custom-keybinding:");
const QString kBase = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/");

QString gsettings(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("gsettings"), arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

// GNOME's settings in a key file of the test's own: added once, never over the user's own Ctrl+Shift+T,
// taken away again with nothing else of the user's touched; the stored setting decides.
TEST(GnomeShortcut, AddedOnceNeverOverTheUsersKeysAndRemovedAlone)
{
    TempTree home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    qputenv("GSETTINGS_BACKEND", "keyfile");
    if (!GnomeShortcut::available())
        GTEST_SKIP() << "no gsettings or no GNOME settings schema";
    const QString list = QStringLiteral("['%1custom0/', '%1custom1/']").arg(kBase);
    gsettings({QStringLiteral("set"), kKeys, QStringLiteral("custom-keybindings"), list});
    gsettings({QStringLiteral("set"), kOne + kBase + QStringLiteral("custom0/"), QStringLiteral("binding"),
               QStringLiteral("'<Primary><Shift>T'")});
    gsettings({QStringLiteral("set"), kOne + kBase + QStringLiteral("custom1/"), QStringLiteral("binding"),
               QStringLiteral("'<Super>e'")});

    EXPECT_EQ(GnomeShortcut::add(QStringLiteral("quarnel --toggle-automatic")), GnomeShortcut::Outcome::KeysTaken);
    EXPECT_EQ(gsettings({QStringLiteral("get"), kKeys, QStringLiteral("custom-keybindings")}), list);

    gsettings({QStringLiteral("set"), kOne + kBase + QStringLiteral("custom0/"), QStringLiteral("binding"),
               QStringLiteral("'<Primary><Alt>t'")});
    SettingsStore settings(home.file(QStringLiteral("Quarnel.conf")));
    settings.SaveSetting(SettingKey::DesktopShortcut, QStringLiteral("On"));
    EXPECT_EQ(GnomeShortcut::FollowDesktopShortcut(settings), QString());
    EXPECT_EQ(GnomeShortcut::add(QStringLiteral("quarnel --toggle-automatic")), GnomeShortcut::Outcome::AlreadyThere);
    EXPECT_TRUE(GnomeShortcut::present());
    const QString ours = kOne + kBase + QStringLiteral("quarnel/");
    EXPECT_EQ(gsettings({QStringLiteral("get"), ours, QStringLiteral("binding")}),
              QStringLiteral("'<Control><Shift>t'"));
    EXPECT_TRUE(gsettings({QStringLiteral("get"), ours, QStringLiteral("command")}).contains(u" --toggle-automatic"));
    EXPECT_EQ(gsettings({QStringLiteral("get"), kKeys, QStringLiteral("custom-keybindings")}).count(u'\''), 6);

    settings.SaveSetting(SettingKey::DesktopShortcut, QStringLiteral("Off"));
    EXPECT_EQ(GnomeShortcut::FollowDesktopShortcut(settings), QString());
    EXPECT_FALSE(GnomeShortcut::present());
    EXPECT_EQ(gsettings({QStringLiteral("get"), kKeys, QStringLiteral("custom-keybindings")}), list);
    EXPECT_EQ(gsettings({QStringLiteral("get"), kOne + kBase + QStringLiteral("custom1/"), QStringLiteral("binding")}),
              QStringLiteral("'<Super>e'"));
    qunsetenv("GSETTINGS_BACKEND");
}
