#include "core/SettingsStore.h"

#include "core/IniFile.h"
#include "core/RuntimeError.h"
#include "support/TempTree.h"

#include <gtest/gtest.h>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

int errorNumberOf(const std::function<void()>& body)
{
    try {
        body();
    } catch (const RuntimeError& error) {
        return error.number();
    }
    return 0;
}

} // namespace

TEST(SettingsStore, AbsentKeysGiveTheirDefaults)
{
    TempTree tree;
    SettingsStore store(tree.file(QStringLiteral("Vantorell/Quarnel.conf")));
    EXPECT_EQ(store.GetSetting(SettingKey::Listview1), QString());
    EXPECT_EQ(store.GetSetting(SettingKey::Option6), QStringLiteral("1"));
    EXPECT_EQ(store.GetSetting(SettingKey::Option5), QStringLiteral("0"));
    EXPECT_EQ(store.GetSetting(SettingKey::Text11), QStringLiteral("0"));
    EXPECT_EQ(store.GetSetting(SettingKey::Text33), QStringLiteral("30"));
    EXPECT_EQ(store.GetSetting(SettingKey::Resolution), QStringLiteral("144"));
    EXPECT_EQ(store.GetSetting(SettingKey::Slider2), QStringLiteral("85"));
    EXPECT_EQ(store.GetSetting(SettingKey::StartStopState), QStringLiteral("Off"));
    EXPECT_EQ(store.GetSetting(QStringLiteral("Output Folder"), QStringLiteral("/home/u/Desktop/")),
              QStringLiteral("/home/u/Desktop/"));
    EXPECT_FALSE(QFile::exists(store.filePath())); // reading creates nothing
}

TEST(SettingsStore, ArbitraryTextSurvivesARestart)
{
    TempTree tree;
    const QString path = tree.file(QStringLiteral("Vantorell/Quarnel.conf"));
    const QStringList texts = {QStringLiteral("/a/;/b c/;"),
                               QStringLiteral("C:\\Data\\"),
                               QStringLiteral("say \"hi\""),
                               QStringLiteral("a=b=c"),
                               QStringLiteral("  blanks  "),
                               QStringLiteral("line1\nline2\r\nline3"),
                               QStringLiteral("Zürich/日本/ü"),
                               QStringLiteral("@odd"),
                               QStringLiteral("#not a comment"),
                               QStringLiteral("x,y, z"),
                               QString(),
                               QStringLiteral("tab\there\x01")};
    {
        SettingsStore store(path);
        for (int i = 0; i < texts.size(); ++i)
            store.SaveSetting(QStringLiteral("Key %1").arg(i), texts[i]);
        store.SaveSetting(SettingKey::OutputFolder, QStringLiteral("/out dir/"));
    }
    SettingsStore again(path);
    for (int i = 0; i < texts.size(); ++i)
        EXPECT_EQ(again.GetSetting(QStringLiteral("Key %1").arg(i), QStringLiteral("absent")), texts[i]) << i;
    EXPECT_EQ(again.GetSetting(SettingKey::OutputFolder), QStringLiteral("/out dir/"));
    // The file keeps the section and the keys as named.
    const QByteArray file = TempTree::read(path);
    EXPECT_TRUE(file.startsWith("[Quarnel]\n"));
    EXPECT_TRUE(file.contains("Output%20Folder=\"/out dir/\""));
}

TEST(SettingsStore, HandWrittenValuesKeepSemicolonsAndCommas)
{
    TempTree tree;
    const QString path
        = tree.write(QStringLiteral("Quarnel.conf"),
                     "\xEF\xBB\xBF; my settings\r\n[Quarnel]\r\nListview1=/a/;/b/;\r\nOutput Folder = /x, y/ \r\n"
                     "Text33=\"45\"\r\nOption6=@String(False)\r\n");
    SettingsStore store(path);
    EXPECT_TRUE(store.writable());
    EXPECT_EQ(store.GetSetting(SettingKey::Listview1), QStringLiteral("/a/;/b/;"));
    EXPECT_EQ(store.GetSetting(SettingKey::OutputFolder), QStringLiteral("/x, y/"));
    EXPECT_EQ(store.GetSetting(SettingKey::Text33), QStringLiteral("45"));
    EXPECT_EQ(store.GetSetting(SettingKey::Option6), QStringLiteral("False"));
    // A write keeps every other key.
    store.SaveSetting(SettingKey::Text11, QStringLiteral("2"));
    SettingsStore again(path);
    EXPECT_EQ(again.GetSetting(SettingKey::Listview1), QStringLiteral("/a/;/b/;"));
    EXPECT_EQ(again.GetSetting(SettingKey::Text11), QStringLiteral("2"));
}

TEST(SettingsStore, ADamagedLineCostsThatLineAloneAndTheOriginalIsKept)
{
    TempTree tree;
    const char raw[] = "[Quarnel]\nListview1=/keep/;\nText33=\"4\x00"
                       "5\"\nnonsense without a key\nOutput Folder=/out/\n";
    const QByteArray damaged(raw, sizeof raw - 1);
    const QString path = tree.write(QStringLiteral("Quarnel.conf"), damaged);
    SettingsStore store(path);
    EXPECT_TRUE(store.writable());
    EXPECT_EQ(store.damagedCopy(), path + QStringLiteral(".damaged"));
    EXPECT_EQ(TempTree::read(path + QStringLiteral(".damaged")), damaged);
    EXPECT_EQ(store.GetSetting(SettingKey::Listview1), QStringLiteral("/keep/;"));
    EXPECT_EQ(store.GetSetting(SettingKey::OutputFolder), QStringLiteral("/out/"));
    EXPECT_EQ(store.GetSetting(SettingKey::Text33), QStringLiteral("30")); // the damaged line's default
    store.SaveSetting(SettingKey::Text11, QStringLiteral("1"));
    // Told once: the file no longer has the damage, and a second damage keeps the first copy.
    SettingsStore again(path);
    EXPECT_TRUE(again.damagedCopy().isEmpty());
    EXPECT_EQ(again.GetSetting(SettingKey::Listview1), QStringLiteral("/keep/;"));
    EXPECT_EQ(again.GetSetting(SettingKey::Text11), QStringLiteral("1"));
    tree.write(QStringLiteral("Quarnel.conf"), QByteArray("\x01\n[Quarnel]\nText22=1\n"));
    EXPECT_EQ(SettingsStore(path).damagedCopy(), path + QStringLiteral(".damaged.1"));
    EXPECT_EQ(TempTree::read(path + QStringLiteral(".damaged")), damaged);
}

TEST(SettingsStore, EveryLineEndReadsAndBytesThatAreNotUtf8SurviveASave)
{
    TempTree tree;
    for (const QByteArray& end : {QByteArray("\r"), QByteArray("\n"), QByteArray("\r\n")}) {
        const QString path = tree.write(QStringLiteral("Quarnel.conf"),
                                        "[Quarnel]" + end + "Listview1=/caf\xe9/;/b/;" + end + "Output Folder=/out/"
                                            + end + "Text33=\"45\"" + end);
        {
            SettingsStore store(path);
            EXPECT_TRUE(store.damagedCopy().isEmpty());
            EXPECT_EQ(store.GetSetting(SettingKey::OutputFolder), QStringLiteral("/out/"));
            EXPECT_EQ(store.GetSetting(SettingKey::Text33), QStringLiteral("45"));
            store.SaveSetting(SettingKey::Text11, QStringLiteral("3"));
        }
        const QByteArray saved = TempTree::read(path);
        EXPECT_TRUE(saved.contains("Listview1=\"/caf\xe9/;/b/;\"\n")) << saved.constData();
        EXPECT_TRUE(saved.contains("Output%20Folder=\"/out/\"\n"));
        EXPECT_TRUE(saved.contains("Text11=\"3\"\n"));
        QFile::remove(path);
    }
    const QByteArray mixed("ok \xc3\xa9 \xf0\x9f\x98\x80 bad \xe9 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 end\xc3");
    EXPECT_EQ(EncodeKeepingBytes(DecodeKeepingBytes(mixed)), mixed);
    EXPECT_EQ(DecodeKeepingBytes("\xc3\xa9"), QStringLiteral("\u00e9"));
}

TEST(SettingsStore, FailedWriteIsPermissionDenied)
{
    TempTree tree;
    // A file where the settings folder should be: nothing can be created below it, even as root.
    tree.write(QStringLiteral("Vantorell"), "not a folder");
    SettingsStore store(tree.file(QStringLiteral("Vantorell/Quarnel.conf")));
    EXPECT_EQ(errorNumberOf([&] { store.SaveSetting(SettingKey::Text11, QStringLiteral("1")); }), 70);
}

TEST(SettingsStore, DefaultFileFollowsXdgConfigHome)
{
    qputenv("XDG_CONFIG_HOME", "/somewhere/config");
    EXPECT_EQ(SettingsStore::defaultFilePath(), QStringLiteral("/somewhere/config/Vantorell/Quarnel.conf"));
    qputenv("XDG_CONFIG_HOME", "");
    qputenv("HOME", "/home/someone");
    EXPECT_EQ(SettingsStore::defaultFilePath(), QStringLiteral("/home/someone/.config/Vantorell/Quarnel.conf"));
}

TEST(TextConversions, BooleanRule)
{
    EXPECT_TRUE(TextToBoolean(QStringLiteral("True")));
    EXPECT_TRUE(TextToBoolean(QStringLiteral("tRUE")));
    EXPECT_FALSE(TextToBoolean(QStringLiteral("FALSE")));
    EXPECT_FALSE(TextToBoolean(QStringLiteral("0")));
    EXPECT_TRUE(TextToBoolean(QStringLiteral("-1")));
    EXPECT_TRUE(TextToBoolean(QStringLiteral("2.5")));
    EXPECT_EQ(errorNumberOf([] { TextToBoolean(QStringLiteral("yes")); }), 13);
    EXPECT_EQ(errorNumberOf([] { TextToBoolean(QString()); }), 13);
}

TEST(TextConversions, IntegersRoundHalvesToEvenAndOverflow)
{
    EXPECT_EQ(TextToInteger16(QStringLiteral("1")), 1);
    EXPECT_EQ(TextToInteger16(QStringLiteral(" 0 ")), 0);
    EXPECT_EQ(TextToInteger16(QStringLiteral("2.5")), 2);
    EXPECT_EQ(TextToInteger16(QStringLiteral("3.5")), 4);
    EXPECT_EQ(TextToInteger16(QStringLiteral("32767")), 32767);
    EXPECT_EQ(errorNumberOf([] { TextToInteger16(QStringLiteral("32768")); }), 6);
    EXPECT_EQ(errorNumberOf([] { TextToInteger16(QStringLiteral("x")); }), 13);
    EXPECT_EQ(TextToInteger32(QStringLiteral("85")), 85);
    EXPECT_EQ(TextToInteger32(QStringLiteral("-2147483648")), -2147483647 - 1);
    EXPECT_EQ(errorNumberOf([] { TextToInteger32(QStringLiteral("99999999999")); }), 6);
    EXPECT_EQ(errorNumberOf([] { TextToInteger32(QStringLiteral("")); }), 13);
    EXPECT_EQ(errorNumberOf([] { TextToInteger32(QStringLiteral("1e400")); }), 13);
}
