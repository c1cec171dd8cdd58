#include "conversion/ConversionPass.h"
#include "support/Form1Fixture.h"
#include "support/PassFakes.h"
#include "ui/CaptionProgressBar.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

using namespace quarnel;
using namespace quarnel::test;

namespace {

class SchedulerFixture : public Form1Fixture
{
protected:
    void loadWithInterval(const char* hours, const char* minutes, const char* seconds)
    {
        settings().SaveSetting(SettingKey::Text11, QString::fromLatin1(hours));
        settings().SaveSetting(SettingKey::Text22, QString::fromLatin1(minutes));
        settings().SaveSetting(SettingKey::Text33, QString::fromLatin1(seconds));
        form().Form_Load();
        form().pass().setMethod(Method::Ghostscript, &method);
    }
    QString status() { return child<QGroupBox>("Frame8")->title(); }
    CaptionProgressBar& bar() { return *child<CaptionProgressBar>("ProgressBar2"); }
    void toggle() { child<QPushButton>("PushButton8")->click(); }
    void tick() { form().scheduler().Timer1_Timer(); }
    int passes() { return logText().count(QStringLiteral(" : No files or folders added.")); }

    FakeMethod method;
};

const QString kOn = QStringLiteral("Automatic conversion is on. Next convert will occur in: ");

} // namespace

TEST_F(SchedulerFixture, ThirtySecondsCountDownAndTheLastTickStartsASilentPass)
{
    loadWithInterval("0", "0", "30");
    EXPECT_EQ(status(), QStringLiteral("Automatic conversion is off."));
    toggle();
    EXPECT_EQ(child<QPushButton>("PushButton8")->text(), QStringLiteral("Turn Off Automatic Conversion"));
    EXPECT_EQ(status(), kOn + QStringLiteral("00:00:00"));
    EXPECT_EQ(settings().GetSetting(SettingKey::StartStopState), QStringLiteral("On"));
    EXPECT_TRUE(form().scheduler().timer().isActive());
    EXPECT_EQ(form().scheduler().timer().interval(), 1000);
    tick();
    EXPECT_EQ(status(), kOn + QStringLiteral("00:00:30"));
    EXPECT_EQ(bar().barMaximum(), 30);
    EXPECT_EQ(bar().barValue(), 1);
    for (int i = 2; i < 30; ++i)
        tick();
    EXPECT_EQ(status(), kOn + QStringLiteral("00:00:02"));
    EXPECT_EQ(passes(), 0);
    tick();
    EXPECT_EQ(passes(), 1);
    EXPECT_TRUE(fakes.messages.boxes.empty()); // silent
    EXPECT_EQ(form().scheduler().elapsedSeconds(), 0);
    EXPECT_TRUE(form().scheduler().timer().isActive());
}

TEST_F(SchedulerFixture, CountdownTexts)
{
    loadWithInterval("0", "1", "0");
    toggle();
    tick();
    EXPECT_EQ(status(), kOn + QStringLiteral("00:01:00"));
    toggle();
    form().findChild<QLineEdit*>(QStringLiteral("Text11"))->setText(QStringLiteral("25"));
    form().findChild<QLineEdit*>(QStringLiteral("Text22"))->setText(QStringLiteral("0"));
    toggle();
    tick();
    EXPECT_EQ(form().scheduler().intervalSeconds(), 90000);
    EXPECT_EQ(status(), kOn + QStringLiteral("01:00:00"));
}

TEST_F(SchedulerFixture, ZeroIntervalPassesAtEveryTick)
{
    loadWithInterval("0", "0", "0");
    toggle();
    tick();
    tick();
    tick();
    EXPECT_EQ(passes(), 3);
    EXPECT_EQ(status(), kOn + QStringLiteral("00:00:00"));
}

TEST_F(SchedulerFixture, FindDurationRoundsAndCorrects)
{
    const std::tuple<const char*, const char*, const char*, qint32> cases[] = {{"0", "0", "0.5", 0},
                                                                               {"0", "0", "1.5", 2},
                                                                               {"0", "0", "2.5", 2},
                                                                               {"1.5", "0", "0", 5400},
                                                                               {"0", "2", "-30", 90}};
    loadWithInterval("0", "0", "30");
    auto* h = child<QLineEdit>("Text11");
    auto* m = child<QLineEdit>("Text22");
    auto* s = child<QLineEdit>("Text33");
    for (const auto& [hours, minutes, seconds, expected] : cases) {
        h->setText(QString::fromLatin1(hours));
        m->setText(QString::fromLatin1(minutes));
        s->setText(QString::fromLatin1(seconds));
        form().scheduler().FindDuration();
        EXPECT_EQ(form().scheduler().intervalSeconds(), expected) << hours << ' ' << minutes << ' ' << seconds;
    }
    h->setText(QStringLiteral("abc"));
    m->setText(QString());
    s->setText(QStringLiteral("x"));
    form().scheduler().FindDuration();
    EXPECT_EQ(h->text(), QStringLiteral("0"));
    EXPECT_EQ(m->text(), QStringLiteral("0"));
    EXPECT_EQ(s->text(), QStringLiteral("30"));
    EXPECT_EQ(settings().GetSetting(SettingKey::Text22), QStringLiteral("0"));
    EXPECT_EQ(form().scheduler().intervalSeconds(), 30);
}

TEST_F(SchedulerFixture, OverflowIsReportedAndKeepsTheInterval)
{
    loadWithInterval("0", "0", "30");
    toggle();
    toggle();
    child<QLineEdit>("Text11")->setText(QStringLiteral("1000000"));
    toggle();
    ASSERT_EQ(fakes.messages.boxes.size(), 1u);
    EXPECT_TRUE(fakes.messages.boxes[0].text.startsWith(
        QStringLiteral("Overflow\r\nin Brenvolt2021/08/31.Form1.PushButton8_Click at line 106")));
    EXPECT_EQ(form().scheduler().intervalSeconds(), 30);
    EXPECT_TRUE(form().scheduler().isOn());
}

TEST_F(SchedulerFixture, TurningOffKeepsTheBarAndOnAgainStartsAFullCountdown)
{
    loadWithInterval("0", "0", "10");
    toggle();
    for (int i = 0; i < 4; ++i)
        tick();
    toggle();
    EXPECT_EQ(status(), QStringLiteral("Automatic conversion is off."));
    EXPECT_EQ(bar().barValue(), 4);
    EXPECT_FALSE(form().scheduler().timer().isActive());
    EXPECT_EQ(form().scheduler().timer().interval(), 0);
    EXPECT_EQ(settings().GetSetting(SettingKey::StartStopState), QStringLiteral("Off"));
    child<QLineEdit>("Text33")->setText(QStringLiteral("20"));
    toggle();
    tick();
    EXPECT_EQ(status(), kOn + QStringLiteral("00:00:20"));
}

TEST_F(SchedulerFixture, EditsDuringACountdownApplyFromTheNext)
{
    loadWithInterval("0", "0", "3");
    toggle();
    child<QLineEdit>("Text33")->setText(QStringLiteral("5"));
    tick();
    tick();
    tick();
    EXPECT_EQ(passes(), 1);
    EXPECT_EQ(form().scheduler().intervalSeconds(), 5);
}

TEST_F(SchedulerFixture, NegativeIntervalShowsNothingLeft)
{
    loadWithInterval("0", "0", "-5");
    toggle();
    tick();
    EXPECT_EQ(status(), kOn + QStringLiteral("00:00:00"));
    EXPECT_EQ(bar().barValue(), 0);
    EXPECT_EQ(passes(), 1);
}

TEST_F(SchedulerFixture, APassFallingDueDuringAManualPassWaitsForIt)
{
    TempTree in;
    in.write(QStringLiteral("a.pdf"), "%PDF");
    fakes.clock.current = QDateTime::currentDateTime().addSecs(5);
    settings().SaveSetting(SettingKey::Listview1, in.path() + u';');
    settings().SaveSetting(SettingKey::Option5, QStringLiteral("True"));
    settings().SaveSetting(SettingKey::Option6, QStringLiteral("False"));
    loadWithInterval("0", "0", "1");
    toggle();
    int automaticDuringManual = -1;
    method.during = [&](const QString&) {
        // The countdown runs out while the manual pass converts.
        tick();
        automaticDuringManual = static_cast<int>(method.converted.size());
    };
    child<QPushButton>("PushButton2")->click();
    EXPECT_EQ(automaticDuringManual, 1); // nothing started inside the manual pass
    EXPECT_FALSE(form().scheduler().timer().isActive());
    method.during = nullptr;
    QCoreApplication::processEvents(); // the waiting pass starts once the manual one is over
    EXPECT_TRUE(logText().contains(QStringLiteral(" : No new files or changes to convert ")));
    EXPECT_TRUE(form().scheduler().timer().isActive());
}

TEST_F(SchedulerFixture, StoredOnStateStartsCountingAndOddStatesChangeNothing)
{
    settings().SaveSetting(SettingKey::StartStopState, QStringLiteral("On"));
    loadWithInterval("0", "0", "30");
    EXPECT_EQ(child<QPushButton>("PushButton8")->text(), QStringLiteral("Turn Off Automatic Conversion"));
    EXPECT_TRUE(form().scheduler().timer().isActive());
    EXPECT_EQ(form().scheduler().intervalSeconds(), 30);
}

TEST_F(Form1Fixture, LowerCaseStateIsNeitherOnNorOff)
{
    settings().SaveSetting(SettingKey::StartStopState, QStringLiteral("on"));
    form().Form_Load();
    EXPECT_FALSE(form().scheduler().timer().isActive());
    EXPECT_EQ(settings().GetSetting(SettingKey::StartStopState), QStringLiteral("on"));
}

TEST_F(SchedulerFixture, LeavingABoxWithLettersAsksForANumber)
{
    loadWithInterval("0", "0", "30");
    auto* box = child<QLineEdit>("Text22");
    box->setText(QStringLiteral("ten"));
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(box, &out);
    QCoreApplication::processEvents();
    EXPECT_EQ(fakes.messages.texts(), QStringList {QStringLiteral("Must be a numeric entry.")});
    EXPECT_EQ(settings().GetSetting(SettingKey::Text22), QStringLiteral("ten"));
}
