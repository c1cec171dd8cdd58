#include "core/NamedSettings.h"

#include "core/SettingsStore.h"
#include "folders/AddFolder.h"
#include "support/TempTree.h"

#include <gtest/gtest.h>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

QString named(const SettingsStore& settings, const QString& name)
{
    for (const auto& [key, value] : ReadNamedSettings(settings))
        if (key == name)
            return value;
    return QStringLiteral("<absent>");
}

QString set(SettingsStore& settings, const QString& assignment)
{
    const SettingChange change = ParseSettingChange(settings, assignment);
    if (change.error.isEmpty())
        WriteSettingChange(settings, change);
    return change.error;
}

TEST(NamedSettings, EveryValueTheWindowTakesIsStoredAsItStoresItAndReadsBack)
{
    TempTree tree;
    SettingsStore settings(tree.file(QStringLiteral("Quarnel.conf")));
    const QString folder = tree.mkdir(QStringLiteral("out"));
    const std::vector<std::tuple<QString, QString, QString>> cases {
        // assignment, the name's value after it, one stored key and text it wrote
        {QStringLiteral("method=gflax"), QStringLiteral("gflax"), QStringLiteral("Option=4")},
        {QStringLiteral("quality=0"), QStringLiteral("0"), QStringLiteral("Slider2=0")},
        {QStringLiteral("pages=1-3"), QStringLiteral("1-3"), QStringLiteral("Pages=1-3")},
        {QStringLiteral("resolution=288"), QStringLiteral("288"), QStringLiteral("Resolution=288")},
        {QStringLiteral("output=") + folder, folder + u'/', QStringLiteral("Option6=True")},
        {QStringLiteral("output=beside the PDF"), QStringLiteral("beside the PDF"), QStringLiteral("Option5=True")},
        {QStringLiteral("interval=1:02:03"), QStringLiteral("3723"), QStringLiteral("Text22=2")},
        {QStringLiteral("interval=45"), QStringLiteral("45"), QStringLiteral("Text11=0")},
        {QStringLiteral("automatic=on"), QStringLiteral("on"), QStringLiteral("StartStopState=On")},
        {QStringLiteral("start-at-login=off"), QStringLiteral("off"), QStringLiteral("Windows Startup=Off")},
        {QStringLiteral("desktop-shortcut=on"), QStringLiteral("on"), QStringLiteral("DesktopShortcut=On")},
        {QStringLiteral("ignore= ._* ;;#recycle"), QStringLiteral("._*;#recycle"),
         QStringLiteral("Ignore=._*;#recycle")},
        {QStringLiteral("ignore="), QString(), QStringLiteral("Ignore=")},
        {QStringLiteral("new-subfolders=no"), QStringLiteral("no"), QStringLiteral("NewSubfolders=Off")},
        {QStringLiteral("on-arrival=yes"), QStringLiteral("on"), QStringLiteral("OnArrival=On")},
        {QStringLiteral("log-skipped=off"), QStringLiteral("no"), QStringLiteral("LogSkipped=Off")},
        {QStringLiteral("method=acrobat"), QStringLiteral("acrobat"), QStringLiteral("Option=3")},
        // First page only moves the choice off Acrobat, as ticking the box does.
        {QStringLiteral("first-page-only=yes"), QStringLiteral("yes"), QStringLiteral("Option=1")},
    };
    for (const auto& [assignment, shown, stored] : cases) {
        EXPECT_EQ(set(settings, assignment), QString()) << qPrintable(assignment);
        const QString name = assignment.left(assignment.indexOf(u'='));
        EXPECT_EQ(named(settings, name), shown) << qPrintable(assignment);
        const QString key = stored.left(stored.indexOf(u'='));
        EXPECT_EQ(settings.GetSetting(key, QString()), stored.mid(stored.indexOf(u'=') + 1)) << qPrintable(assignment);
    }
    EXPECT_EQ(named(settings, QStringLiteral("method")), QStringLiteral("ghostscript"));
}

TEST(NamedSettings, AValueTheWindowWouldNotTakeChangesNothing)
{
    TempTree tree;
    SettingsStore settings(tree.file(QStringLiteral("Quarnel.conf")));
    set(settings, QStringLiteral("first-page-only=yes"));
    for (const char* bad :
         {"quality=101", "quality=8.5", "method=Word", "resolution=100", "interval=-1", "interval=1:2:3:4",
          "interval=99999999999", "output=/nonexistent/folder", "first-page-only=maybe", "automatic=1x", "colour=red",
          "ignore=a/b", "log-skipped=perhaps", "=5", "method", "method=acrobat"}) {
        const SettingChange change = ParseSettingChange(settings, QString::fromLatin1(bad));
        EXPECT_FALSE(change.error.isEmpty()) << bad;
        EXPECT_TRUE(change.writes.isEmpty()) << bad;
    }
}

TEST(FolderTrees, RemovingAFolderTakesItsSubfoldersAndNothingElse)
{
    const QStringList rows {QStringLiteral("/data/scans/"), QStringLiteral("/data/scans/2026/"),
                            QStringLiteral("/data/scans2/"), QStringLiteral("/data/other")};
    EXPECT_EQ(WithoutFolderTree(rows, QStringLiteral("/data/scans")),
              (QStringList {QStringLiteral("/data/scans2/"), QStringLiteral("/data/other")}));
    EXPECT_EQ(WithoutFolderTree(rows, QStringLiteral("/data/other/")), (QStringList {rows[0], rows[1], rows[2]}));
    EXPECT_EQ(WithoutFolderTree(rows, QStringLiteral("/elsewhere")), rows);
}

} // namespace
