#include "ui/main/Form1.h"

#include "core/EndDeferral.h"
#include "core/SettingsStore.h"
#include "support/Form1Fixture.h"

#include <QCoreApplication>
#include <QEnterEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace quarnel;
using namespace quarnel::test;

namespace {

void sendEnter(QWidget* widget)
{
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(widget, &enter);
}

} // namespace

TEST_F(Form1Fixture, FirstRunStartsWithDefaultsAndOneStartLine)
{
    form().Form_Load();
    EXPECT_EQ(form().windowTitle(), QStringLiteral("Quarnel"));
    EXPECT_FALSE(form().loading());
    EXPECT_TRUE(rows().isEmpty());
    auto* list = form().findChild<QTreeWidget*>(QStringLiteral("ListView1"));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Folders with PDF File(s)"));
    EXPECT_EQ(list->columnWidth(0), 467);
    EXPECT_EQ(form().size(), QSize(536, 634));
    EXPECT_TRUE(logText().startsWith(QStringLiteral("Started ")));
    EXPECT_TRUE(logText().endsWith(QStringLiteral("\r\n")));
    EXPECT_EQ(logText().count(QStringLiteral("Started ")), 1);
    EXPECT_TRUE(fakes.messages.boxes.empty());
    EXPECT_TRUE(fakes.opener.opened.isEmpty());
}

TEST_F(Form1Fixture, ControlsCarryTheirNamesAndCaptions)
{
    const std::pair<const char*, const char*> buttons[] = {{"PushButton8", "Turn On Automatic Conversion"},
                                                           {"PushButton2", "Convert Now (Test)"},
                                                           {"PushButton1", "Add Folders/Subfolders To List"},
                                                           {"PushButton4", "Load Folder List From Text File"},
                                                           {"PushButton5", "Clear List"},
                                                           {"PushButton6", "Load Sample/Example Folders"},
                                                           {"PushButton7", "..."},
                                                           {"PushButton11", "Conversion Options"},
                                                           {"PushButton3", "Help"},
                                                           {"PushButton10", "View Log"},
                                                           {"PushButton9", "Clear Log and Convert Again"},
                                                           {"PushButton12", "?"}};
    for (const auto& [name, caption] : buttons) {
        auto* button = form().findChild<QPushButton*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        EXPECT_EQ(button->text(), QString::fromLatin1(caption));
    }
    auto* text1 = form().findChild<QLineEdit*>(QStringLiteral("Text1"));
    ASSERT_NE(text1, nullptr);
    EXPECT_EQ(text1->parentWidget()->objectName(), QStringLiteral("Frame4"));
    EXPECT_EQ(text1->geometry(), QRect(16, 18, 378, 23));
}

TEST_F(Form1Fixture, StoredListRestoresNonBlankPiecesUntrimmed)
{
    settings().SaveSetting(SettingKey::Listview1, QStringLiteral("/A/;;  ;/B/; /C with blanks/ ;"));
    form().Form_Load();
    EXPECT_EQ(rows(),
              (QStringList {QStringLiteral("/A/"), QStringLiteral("/B/"), QStringLiteral(" /C with blanks/ ")}));
}

TEST_F(Form1Fixture, CloseSavesEveryRowOnceAndEnds)
{
    settings().SaveSetting(SettingKey::Listview1, QStringLiteral("/A/;/B/;/;"));
    form().Form_Load();
    form().Form_QueryUnload();
    form().Form_QueryUnload();
    EXPECT_EQ(fakes.programEnd.calls, 1);
    EXPECT_EQ(SettingsStore(settingsPath()).GetSetting(SettingKey::Listview1), QStringLiteral("/A/;/B/;/;"));
}

// SIGTERM, closing the window or the session's end while a PDF's images are placed: the program ends
// only once that work is over.
TEST_F(Form1Fixture, AnEndAskedForWhileImagesArePlacedComesAfterThem)
{
    form().Form_Load();
    {
        const CriticalWork placing;
        form().Form_QueryUnload();
        EXPECT_EQ(fakes.programEnd.calls, 0);
    }
    EXPECT_EQ(fakes.programEnd.calls, 1);
}

TEST_F(Form1Fixture, CloseWithEmptyListStoresEmptyText)
{
    settings().SaveSetting(SettingKey::Listview1, QStringLiteral("  ;"));
    form().Form_Load();
    form().close();
    EXPECT_EQ(fakes.programEnd.calls, 1);
    SettingsStore again(settingsPath());
    EXPECT_EQ(again.GetSetting(QStringLiteral("Listview1"), QStringLiteral("absent")), QString());
}

TEST_F(Form1Fixture, MakerPageOpensOnlyOnSeven)
{
    fakes.random.value = 7;
    form().Form_Load();
    ASSERT_EQ(fakes.opener.opened.size(), 1);
    EXPECT_EQ(fakes.opener.opened[0].host(), QStringLiteral("vantorell.example"));
}

TEST_F(Form1Fixture, CorruptCursorFileIsReportedAndStartUpCompletes)
{
    program.write(QStringLiteral("HAND-M.CUR"), "this is no cursor");
    form().Form_Load();
    // Each window that loads it says so: the main window, then the options window its start-up creates.
    QStringList reports;
    for (const auto& box : fakes.messages.boxes)
        reports.append(box.text.section(u'\r', 1, 1));
    EXPECT_EQ(reports,
              (QStringList {"\nin Brenvolt2021/08/31.Form1.Form_Load at line 106",
                            "\nin Brenvolt2021/08/31.Form2.Form_Load at line 110"}))
        << qPrintable(reports.join(u'|'));
    EXPECT_FALSE(form().loading());
    EXPECT_TRUE(logText().startsWith(QStringLiteral("Started ")));
}

TEST_F(Form1Fixture, MissingTempFolderGivesOneReport)
{
    qputenv("TEMP", "/nonexistent/temp/folder");
    settings().SaveSetting(SettingKey::Listview1, QStringLiteral("/A/;"));
    form().Form_Load();
    ASSERT_EQ(fakes.messages.boxes.size(), 1u);
    EXPECT_TRUE(fakes.messages.boxes[0].text.contains(QStringLiteral("Main.AppendStringFSO at line 100")));
    EXPECT_EQ(rows(), QStringList {QStringLiteral("/A/")});
}

TEST_F(Form1Fixture, PointerFollowsControlsButNeverReplacesHourglass)
{
    form().Form_Load();
    auto* button = form().findChild<QPushButton*>(QStringLiteral("PushButton2"));
    auto* text1 = form().findChild<QLineEdit*>(QStringLiteral("Text1"));
    sendEnter(button);
    EXPECT_EQ(form().mousePointer(), Form1::MousePointer::Custom);
    sendEnter(text1);
    EXPECT_EQ(form().mousePointer(), Form1::MousePointer::Default);
    // The hours and seconds boxes leave it as it is; the minutes box sets the arrow.
    sendEnter(button);
    for (const char* box : {"Text11", "Text33"}) {
        sendEnter(form().findChild<QLineEdit*>(QString::fromLatin1(box)));
        EXPECT_EQ(form().mousePointer(), Form1::MousePointer::Custom) << box;
    }
    sendEnter(form().findChild<QLineEdit*>(QStringLiteral("Text22")));
    EXPECT_EQ(form().mousePointer(), Form1::MousePointer::Default);
    form().setMousePointer(Form1::MousePointer::Hourglass);
    sendEnter(button);
    EXPECT_EQ(form().mousePointer(), Form1::MousePointer::Hourglass);
    EXPECT_EQ(form().cursor().shape(), Qt::WaitCursor);
    EXPECT_TRUE(form().isBusy());
}

TEST_F(Form1Fixture, TheMainWindowIsCentredAsTheOptionsWindowIs)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((form().geometry().center() - screen.center()).manhattanLength(), 2);
}
