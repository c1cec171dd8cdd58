#include "core/NamedSettings.h"
#include "desktop/Autostart.h"
#include "folders/FolderListFormat.h"
#include "support/Form1Fixture.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

using namespace quarnel;
using namespace quarnel::test;

namespace {

void pressDelete(QWidget* list)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QCoreApplication::sendEvent(list, &press);
}

void doubleClick(QTreeWidget* list)
{
    QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &click);
}

} // namespace

TEST_F(Form1Fixture, AddingATreeAddsTheFolderAndItsSubfolders)
{
    TempTree tree;
    tree.mkdir(QStringLiteral("in/sub"));
    tree.mkdir(QStringLiteral("in/@eaDir/x")); // never listed
    form().Form_Load();
    fakes.dialogs.folderAnswers = {tree.file(QStringLiteral("in")), QString(), tree.file(QStringLiteral("in"))};
    child<QPushButton>("PushButton1")->click();
    const QString in = tree.file(QStringLiteral("in/"));
    EXPECT_EQ(rows(), (QStringList {in, in + QStringLiteral("sub/")}));
    EXPECT_EQ(fakes.dialogs.prompts.front(), QStringLiteral("Please select folder:"));
    EXPECT_EQ(form().mousePointer(), Form1::MousePointer::Default);

    child<QPushButton>("PushButton1")->click(); // cancelled: nothing
    EXPECT_EQ(rows().size(), 2);
    child<QPushButton>("PushButton1")->click(); // the same folder again doubles the rows
    EXPECT_EQ(rows(), (QStringList {in, in + QStringLiteral("sub/"), in, in + QStringLiteral("sub/")}));

    // A subfolder made later joins the list (stored at once); one taken off stays off.
    tree.mkdir(QStringLiteral("in/2026"));
    auto* list = child<QTreeWidget>("ListView1");
    list->setCurrentItem(list->topLevelItem(3));
    pressDelete(list);
    tree.mkdir(QStringLiteral("in/sub/new"));
    form().addNewSubfolders();
    const QStringList expected {in, in + QStringLiteral("sub/"), in, in + QStringLiteral("2026/")};
    EXPECT_EQ(rows(), expected);
    EXPECT_EQ(settings().GetSetting(SettingKey::Listview1), FolderListToStored(expected));
}

TEST_F(Form1Fixture, TheSessionSaveKeepsTheListWithoutEndingTheProgram)
{
    TempTree tree;
    tree.mkdir(QStringLiteral("scans"));
    tree.mkdir(QStringLiteral("faxes"));
    form().Form_Load();
    fakes.dialogs.folderAnswers = {tree.file(QStringLiteral("scans")), tree.file(QStringLiteral("faxes"))};
    child<QPushButton>("PushButton1")->click();
    child<QPushButton>("PushButton1")->click();
    form().SaveFolderList();
    EXPECT_EQ(fakes.programEnd.calls, 0);
    // The session may end the program without a close: what was saved is the list as it stood.
    const SettingsStore afterwards(settingsPath());
    EXPECT_EQ(FolderListFromStored(afterwards.GetSetting(SettingKey::Listview1)),
              (QStringList {tree.file(QStringLiteral("scans/")), tree.file(QStringLiteral("faxes/"))}));
    EXPECT_TRUE(fakes.messages.boxes.empty());
}

TEST_F(Form1Fixture, SampleFolderIsAddedAndOpenedOnYes)
{
    form().Form_Load();
    fakes.messages.answers = {false, true};
    child<QPushButton>("PushButton6")->click();
    EXPECT_TRUE(fakes.opener.opened.isEmpty());
    child<QPushButton>("PushButton6")->click();
    const QString samples = program.path() + QStringLiteral("/Samples");
    EXPECT_EQ(rows(), (QStringList {samples, samples}));
    ASSERT_EQ(fakes.opener.opened.size(), 1);
    EXPECT_EQ(fakes.opener.opened[0], QUrl::fromLocalFile(samples + u'/'));
    EXPECT_TRUE(fakes.messages.boxes[0].text.startsWith(QStringLiteral("Would you like this software to open")));
}

TEST_F(Form1Fixture, RemovalIsRefusedWhileBusy)
{
    settings().SaveSetting(SettingKey::Listview1, QStringLiteral("/A/;/B/;/C/;"));
    form().Form_Load();
    auto* list = child<QTreeWidget>("ListView1");
    list->setCurrentItem(list->topLevelItem(1));
    form().setMousePointer(Form1::MousePointer::Hourglass);
    pressDelete(list);
    doubleClick(list);
    child<QPushButton>("PushButton5")->click();
    EXPECT_EQ(rows().size(), 3);

    form().setMousePointer(Form1::MousePointer::Default);
    pressDelete(list);
    EXPECT_EQ(rows(), (QStringList {QStringLiteral("/A/"), QStringLiteral("/C/")}));
    list->setCurrentItem(list->topLevelItem(0));
    doubleClick(list);
    EXPECT_EQ(rows(), QStringList {QStringLiteral("/C/")});
    child<QPushButton>("PushButton5")->click();
    EXPECT_TRUE(rows().isEmpty());
    pressDelete(list); // an empty list: nothing happens
    EXPECT_TRUE(rows().isEmpty());
}

TEST_F(Form1Fixture, RowWithSemicolonComesBackAsTwoRows)
{
    TempTree tree;
    const QString odd = tree.mkdir(QStringLiteral("odd;name")) + u'/';
    form().Form_Load();
    fakes.dialogs.folderAnswers = {tree.file(QStringLiteral("odd;name"))};
    child<QPushButton>("PushButton1")->click();
    restart();
    form().Form_Load();
    EXPECT_EQ(rows(), (QStringList {odd.section(u';', 0, 0), odd.section(u';', 1)}));
}

TEST_F(Form1Fixture, ListFilesAppendTheirLinesInOrder)
{
    TempTree lists;
    const QString first = lists.write(QStringLiteral("one.txt"), "/A\r\n/B\r\n");
    const QString second = lists.write(QStringLiteral("two.txt"), "\xEF\xBB\xBF/C\n/D\n");
    const QString gone = lists.file(QStringLiteral("gone.txt"));
    form().Form_Load();
    fakes.dialogs.fileAnswers = {{first, gone, second}};
    child<QPushButton>("PushButton4")->click();
    EXPECT_EQ(rows(), (QStringList {"/A", "/B", "/C", "/D", ""}));
    EXPECT_EQ(fakes.messages.texts(), QStringList {QStringLiteral("File not found")});
    EXPECT_EQ(fakes.dialogs.prompts.back(), QStringLiteral("Load List(s) - Hold Ctrl to select multiple list files"));
    EXPECT_EQ(fakes.dialogs.lastFilters.front(), QStringLiteral("Text Files (*.txt)"));
    EXPECT_EQ(form().mousePointer(), Form1::MousePointer::Default);
}

TEST_F(Form1Fixture, TooManyListFilesLoadNothing)
{
    TempTree lists;
    QStringList many;
    for (int i = 0; i < 600; ++i)
        many.append(lists.write(QStringLiteral("list-with-a-rather-long-name-%1-padding-padding-padding.txt").arg(i),
                                "/X\r\n"));
    form().Form_Load();
    fakes.dialogs.fileAnswers = {many};
    child<QPushButton>("PushButton4")->click();
    EXPECT_TRUE(rows().isEmpty());
    EXPECT_EQ(fakes.messages.texts(),
              QStringList {QStringLiteral(
                  "You've selected too many files to add.\r\rPlease try adding via the \"Add All\" button.")});
}

TEST_F(Form1Fixture, SavingOptionIsStoredAndEnablesTheFolderBox)
{
    form().Form_Load();
    auto* frame4 = child<QGroupBox>("Frame4");
    EXPECT_TRUE(child<QRadioButton>("Option6")->isChecked());
    EXPECT_TRUE(frame4->isEnabled());
    EXPECT_TRUE(child<QLineEdit>("Text1")->text().endsWith(u'/'));

    child<QRadioButton>("Option5")->click();
    EXPECT_FALSE(frame4->isEnabled());
    EXPECT_EQ(settings().GetSetting(SettingKey::Option6), QStringLiteral("False"));
    EXPECT_EQ(settings().GetSetting(SettingKey::Option5), QStringLiteral("True"));
    child<QRadioButton>("Option6")->click();
    EXPECT_TRUE(frame4->isEnabled());
    EXPECT_EQ(settings().GetSetting(SettingKey::Option6), QStringLiteral("True"));
    EXPECT_EQ(settings().GetSetting(SettingKey::Option5), QStringLiteral("False"));
}

TEST_F(Form1Fixture, BrowsedFolderGetsATrailingSeparator)
{
    form().Form_Load();
    auto* text1 = child<QLineEdit>("Text1");
    fakes.dialogs.folderAnswers = {QStringLiteral("/data/out"), QStringLiteral("/"), QString()};
    child<QPushButton>("PushButton7")->click();
    EXPECT_EQ(text1->text(), QStringLiteral("/data/out/"));
    EXPECT_EQ(settings().GetSetting(SettingKey::OutputFolder), QStringLiteral("/data/out/"));
    child<QPushButton>("PushButton7")->click();
    EXPECT_EQ(text1->text(), QStringLiteral("/"));
    child<QPushButton>("PushButton7")->click(); // cancelled
    EXPECT_EQ(text1->text(), QStringLiteral("/"));
}

TEST_F(Form1Fixture, StoredSavingOptionIsRestored)
{
    settings().SaveSetting(SettingKey::Option6, QStringLiteral("False"));
    settings().SaveSetting(SettingKey::Option5, QStringLiteral("True"));
    settings().SaveSetting(SettingKey::OutputFolder, QString());
    form().Form_Load();
    EXPECT_TRUE(child<QRadioButton>("Option5")->isChecked());
    EXPECT_FALSE(child<QGroupBox>("Frame4")->isEnabled());
    EXPECT_EQ(child<QLineEdit>("Text1")->text(), QString()); // an empty folder stays empty
    EXPECT_TRUE(fakes.messages.boxes.empty());
}

TEST_F(Form1Fixture, BothFlagsFalseSelectsTheFolderOption)
{
    settings().SaveSetting(SettingKey::Option6, QStringLiteral("False"));
    settings().SaveSetting(SettingKey::Option5, QStringLiteral("false"));
    form().Form_Load();
    EXPECT_TRUE(child<QRadioButton>("Option6")->isChecked());
    EXPECT_TRUE(child<QGroupBox>("Frame4")->isEnabled());
}

TEST_F(Form1Fixture, UnconvertibleFlagIsReportedAndLeavesTheDefault)
{
    settings().SaveSetting(SettingKey::Option6, QStringLiteral("maybe"));
    form().Form_Load();
    ASSERT_EQ(fakes.messages.boxes.size(), 1u);
    EXPECT_TRUE(fakes.messages.boxes[0].text.startsWith(QStringLiteral("Type mismatch\r\n")));
    EXPECT_TRUE(fakes.messages.boxes[0].text.contains(QStringLiteral("at line 134")));
    EXPECT_TRUE(child<QRadioButton>("Option6")->isChecked());
    EXPECT_EQ(settings().GetSetting(SettingKey::Option6), QStringLiteral("maybe"));
}

TEST_F(Form1Fixture, HugeAndBinaryListFilesLoadWithoutLoss)
{
    TempTree lists;
    QByteArray big;
    for (int i = 0; i < 100000; ++i)
        big += "/archive/scans/box " + QByteArray::number(i) + "/\r\n";
    const QString hugeFile = lists.write(QStringLiteral("huge.txt"), big);
    const QString binaryFile = lists.write(QStringLiteral("binary.txt"), QByteArray("\x00\x7f\xff\r\n\x01", 6));
    form().Form_Load();
    fakes.dialogs.fileAnswers = {{hugeFile, binaryFile}};
    child<QPushButton>("PushButton4")->click();
    const QStringList loaded = rows();
    ASSERT_EQ(loaded.size(), 100002);
    EXPECT_EQ(loaded[99999], QStringLiteral("/archive/scans/box 99999/"));
    EXPECT_EQ(loaded[100001], QStringLiteral("\x01"));
    EXPECT_TRUE(fakes.messages.boxes.empty());
}

TEST_F(Form1Fixture, RequestsFromTheCommandLineChangeTheListAndControlsAsTheyWould)
{
    TempTree tree;
    tree.mkdir(QStringLiteral("in/sub"));
    const QString out = tree.mkdir(QStringLiteral("out"));
    form().Form_Load();
    const QString in = tree.file(QStringLiteral("in/"));
    form().AddFolderTree(tree.file(QStringLiteral("in")));
    EXPECT_EQ(rows(), (QStringList {in, in + QStringLiteral("sub/")}));
    EXPECT_EQ(form().RemoveFolderTree(in + QStringLiteral("sub")), 1);
    EXPECT_EQ(form().RemoveFolderTree(QStringLiteral("/elsewhere")), 0);
    EXPECT_EQ(rows(), QStringList {in});

    // Stored from the command line, then shown: the controls, and what the pass reads through them.
    for (const char* change :
         {"output=beside the PDF", "interval=0:01:30", "quality=40", "method=gflax", "start-at-login=on"})
        WriteSettingChange(settings(), ParseSettingChange(settings(), QString::fromLatin1(change)));
    form().ApplyStoredSettings();
    EXPECT_TRUE(form().saveBesideOriginal());
    EXPECT_EQ(form().intervalText(1), QStringLiteral("1"));
    EXPECT_EQ(form().methodOptions().quality(), 40);
    EXPECT_EQ(form().methodOptions().selectedMethod(), Method::GflAx);
    EXPECT_TRUE(child<QCheckBox>("Check3")->isChecked());
    EXPECT_TRUE(QFile::exists(AutostartEntryPath(program.file(QStringLiteral("quarnel")))));
    WriteSettingChange(settings(), ParseSettingChange(settings(), QStringLiteral("output=") + out));
    form().ApplyStoredSettings();
    EXPECT_TRUE(form().saveToFolder());
    EXPECT_EQ(form().outputFolder(), out + u'/');
}
