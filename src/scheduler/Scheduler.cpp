#include "scheduler/Scheduler.h"

#include "conversion/ConversionPass.h"
#include "core/ErrorReport.h"
#include "core/NamedSettings.h"
#include "core/RuntimeError.h"
#include "core/SettingsStore.h"

#include <cmath>
#include <cstdlib>

namespace quarnel {

bool IsNumericEntry(const QString& text)
{
    try {
        TextToNumber(text);
        return true;
    } catch (const RuntimeError&) {
        return false;
    }
}

QString FormatSeconds(qint32 seconds)
{
    // A negative count is a date before the epoch day; its time of day is the magnitude's.
    const qint64 ofDay = std::llabs(static_cast<qint64>(seconds)) % 86400;
    return QStringLiteral("%1:%2:%3")
        .arg(ofDay / 3600, 2, 10, QChar(u'0'))
        .arg(ofDay / 60 % 60, 2, 10, QChar(u'0'))
        .arg(ofDay % 60, 2, 10, QChar(u'0'));
}

QString CountdownStatus(qint32 remaining)
{
    return QStringLiteral("Automatic conversion is on. Next convert will occur in: ")
        + FormatSeconds(remaining < 0 ? 0 : remaining);
}

Scheduler::Scheduler(SchedulerView& view, ConversionPass& pass, SettingsStore& settings, MessageBoxes& messages,
                     QObject* parent)
    : QObject(parent)
    , m_view(view)
    , m_pass(pass)
    , m_settings(settings)
    , m_messages(messages)
{
    m_timer.setObjectName(QStringLiteral("Timer1"));
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &Scheduler::Timer1_Timer);
    // A pass that fell due while another one ran starts once that one is over, outside its call.
    connect(&m_pass, &ConversionPass::passFinished, this, [this] {
        if (m_duePending)
            QTimer::singleShot(0, this, &Scheduler::runDuePass);
    });
}

bool Scheduler::isOn() const
{
    return m_view.toggleCaption() == QString::fromLatin1(kTurnOff);
}

void Scheduler::FindDuration()
{
    const SettingKey::Key* boxes[] = {&SettingKey::Text11, &SettingKey::Text22, &SettingKey::Text33};
    for (int box = 0; box < 3; ++box) {
        if (!IsNumericEntry(m_view.intervalText(box)))
            m_view.setIntervalText(box, QString::fromLatin1(boxes[box]->defaultText));
    }
    m_intervalSeconds = IntervalSeconds(m_view.intervalText(0), m_view.intervalText(1), m_view.intervalText(2));
}

void Scheduler::PushButton8_Click()
{
    GuardedProcedure guard(Location::Form1_PushButton8_Click, m_messages);
    if (guard.test(100, [&] { return m_view.toggleCaption() == QString::fromLatin1(kTurnOn); })) {
        guard.step(102, [&] { m_view.setToggleCaption(QString::fromLatin1(kTurnOff)); });
        guard.step(104, [&] { m_view.setStatusLine(CountdownStatus(0)); });
        guard.step(106, [&] { FindDuration(); });
        guard.step(108, [&] { m_elapsedSeconds = 0; });
        guard.step(110, [&] { m_settings.SaveSetting(SettingKey::StartStopState, QStringLiteral("On")); });
        guard.step(112, [&] {
            m_timer.setInterval(1000);
            m_timer.start();
        });
    } else if (guard.test(114, [&] { return m_view.toggleCaption() == QString::fromLatin1(kTurnOff); })) {
        guard.step(116, [&] { m_view.setToggleCaption(QString::fromLatin1(kTurnOn)); });
        guard.step(118, [&] { setOff(); });
        guard.step(120, [&] { m_view.setStatusLine(QString::fromLatin1(kStatusOff)); });
        guard.step(122, [&] { m_settings.SaveSetting(SettingKey::StartStopState, QStringLiteral("Off")); });
    }
}

void Scheduler::setOff()
{
    m_timer.setInterval(0);
    m_timer.stop();
    m_duePending = false;
}

void Scheduler::Timer1_Timer()
{
    GuardedProcedure guard(Location::Form1_Timer1_Timer, m_messages);
    guard.step(100, [&] { m_view.setStatusLine(CountdownStatus(m_intervalSeconds - m_elapsedSeconds)); });
    guard.step(102, [&] {
        if (m_elapsedSeconds == std::numeric_limits<qint32>::max())
            throw RuntimeError(ErrorNumber::Overflow);
        ++m_elapsedSeconds;
    });
    guard.step(104, [&] {
        if (m_intervalSeconds < 0)
            m_view.setCountdown(0, 0); // nothing to fill for a negative interval
        else
            m_view.setCountdown(m_intervalSeconds, m_elapsedSeconds);
    });
    if (m_elapsedSeconds < m_intervalSeconds)
        return;
    guard.step(108, [&] { m_timer.stop(); });
    if (m_pass.running()) {
        // A pass started by hand is still going: this one waits for it.
        m_duePending = true;
        return;
    }
    runDuePass();
}

void Scheduler::runDuePass()
{
    m_duePending = false;
    GuardedProcedure guard(Location::Form1_Timer1_Timer, m_messages);
    guard.step(110, [&] { m_pass.ConvertPDFs(true); });
    guard.step(112, [&] { FindDuration(); });
    guard.step(114, [&] { m_elapsedSeconds = 0; });
    // Turned off meanwhile: the interval is 0 and the timer stays off.
    guard.step(116, [&] {
        if (m_timer.interval() > 0)
            m_timer.start();
    });
}

void Scheduler::Restore(GuardedProcedure& guard)
{
    QString state;
    guard.step(234, [&] { state = m_settings.GetSetting(SettingKey::StartStopState); });
    if (guard.test(236, [&] { return state == QStringLiteral("Off"); })) {
        guard.step(238, [&] { m_view.setToggleCaption(QString::fromLatin1(kTurnOn)); });
        guard.step(242, [&] { m_settings.SaveSetting(SettingKey::StartStopState, QStringLiteral("Off")); });
        guard.step(244, [&] { m_timer.setInterval(0); });
        guard.step(246, [&] { m_timer.stop(); });
        guard.step(248, [&] {
            m_view.setStatusLine(QString::fromLatin1(kStatusOff));
            m_view.resetPointer();
        });
        guard.step(250, [&] { m_view.setPassProgress(0); });
        guard.step(252, [&] { m_view.setPassProgressCaption(QStringLiteral("Progress Bar")); });
    } else if (guard.test(254, [&] { return state == QStringLiteral("On"); })) {
        guard.step(256, [&] { m_view.setToggleCaption(QString::fromLatin1(kTurnOff)); });
        guard.step(260, [&] { m_settings.SaveSetting(SettingKey::StartStopState, QStringLiteral("On")); });
        guard.step(262, [&] { FindDuration(); });
        guard.step(264, [&] { m_elapsedSeconds = 0; });
        guard.step(266, [&] { m_timer.setInterval(1000); });
        guard.step(268, [&] { m_timer.start(); });
    }
}

void Scheduler::Stop()
{
    m_timer.stop();
    m_duePending = false;
}

} // namespace quarnel
