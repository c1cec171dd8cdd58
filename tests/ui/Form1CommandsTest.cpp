#include "conversion/ConversionPass.h"
#include "support/Form1Fixture.h"
#include "support/PassFakes.h"
#include "ui/options/Form2.h"

#include <QPushButton>

using namespace quarnel;
using namespace quarnel::test;

TEST_F(Form1Fixture, ClearLogThenConvertConvertsEverythingAgain)
{
    TempTree in;
    in.write(QStringLiteral("a.pdf"), "%PDF");
    FakeMethod method;
    fakes.clock.current = QDateTime::currentDateTime().addSecs(5);
    settings().SaveSetting(SettingKey::Listview1, in.path() + u';');
    settings().SaveSetting(SettingKey::Option5, QStringLiteral("True"));
    settings().SaveSetting(SettingKey::Option6, QStringLiteral("False"));
    form().Form_Load();
    form().pass().setMethod(Method::Ghostscript, &method);
    child<QPushButton>("PushButton2")->click();
    child<QPushButton>("PushButton2")->click();
    EXPECT_EQ(method.converted.size(), 1);
    child<QPushButton>("PushButton9")->click();
    EXPECT_TRUE(logText().startsWith(QStringLiteral("Started ")));
    EXPECT_EQ(logText().count(QStringLiteral("\r\n")), 1);
    child<QPushButton>("PushButton2")->click();
    EXPECT_EQ(method.converted.size(), 2);
    EXPECT_EQ(logText().count(QStringLiteral("\r\n")), 2);
    EXPECT_TRUE(logText().contains(QStringLiteral(" : Converted ") + in.path() + QStringLiteral("/a.pdf\r\n")));
    EXPECT_TRUE(child<QPushButton>("PushButton2")->isEnabled());
    EXPECT_EQ(form().mousePointer(), Form1::MousePointer::Default);
}

TEST_F(Form1Fixture, HelpTextsAndViewLog)
{
    form().Form_Load();
    child<QPushButton>("PushButton12")->click();
    child<QPushButton>("PushButton3")->click();
    EXPECT_EQ(fakes.messages.texts(),
              (QStringList {
                  QStringLiteral("This will clear log with information about files previously converted.\r\n"
                                 "So all PDF files in listed folders will be converted once again."),
                  QStringLiteral("Questions? Please contact Team Vantorell at https://vantorell.example/contact/")}));
    child<QPushButton>("PushButton10")->click();
    ASSERT_EQ(fakes.opener.opened.size(), 1);
    EXPECT_EQ(fakes.opener.opened[0].toLocalFile(), tempPath() + QStringLiteral("/DEV2IVI.log"));
    QFile::remove(tempPath() + QStringLiteral("/DEV2IVI.log"));
    child<QPushButton>("PushButton10")->click(); // no log: nothing at all
    EXPECT_EQ(fakes.opener.opened.size(), 1);
    EXPECT_EQ(fakes.messages.boxes.size(), 2u);
}

TEST_F(Form1Fixture, OptionsWindowTakesThePlaceOfTheMainWindow)
{
    form().Form_Load();
    form().show();
    child<QPushButton>("PushButton11")->click();
    EXPECT_TRUE(form().options().isVisible());
    EXPECT_FALSE(form().isVisible());
    form().options().findChild<QPushButton*>(QStringLiteral("PushButton5"))->click();
    EXPECT_TRUE(form().isVisible());
    EXPECT_FALSE(form().options().isVisible());
    form().options().close(); // closing the options window ends the program
    EXPECT_EQ(fakes.programEnd.calls, 1);
}

TEST_F(Form1Fixture, EmptyListPassSaysSo)
{
    form().Form_Load();
    child<QPushButton>("PushButton2")->click();
    EXPECT_EQ(fakes.messages.texts(), QStringList {QStringLiteral("No files or folders added.")});
    EXPECT_TRUE(logText().endsWith(QStringLiteral(" : No files or folders added.\r\n")));
}
