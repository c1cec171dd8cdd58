#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

namespace quarnel {

class ConversionPass;
class GuardedProcedure;
class MessageBoxes;
class SettingsStore;

inline constexpr auto kTurnOn = "Turn On Automatic Conversion";
inline constexpr auto kTurnOff = "Turn Off Automatic Conversion";
inline constexpr auto kStatusOff = "Automatic conversion is off.";

// True when the text is a number under the user's locale (blanks around it, a sign, a decimal
// separator and an exponent allowed); the empty text is not.
bool IsNumericEntry(const QString& text);
// Seconds as a time of day "hh:mm:ss"; whole days are dropped.
QString FormatSeconds(qint32 seconds);
// The status line while on, for this many seconds left; a negative remainder shows as 00:00:00.
QString CountdownStatus(qint32 remaining);

// What the scheduler reads and shows in the main window.
class SchedulerView
{
public:
    virtual ~SchedulerView() = default;
    virtual QString toggleCaption() const = 0;
    virtual void setToggleCaption(const QString& caption) = 0;
    virtual void setStatusLine(const QString& text) = 0;
    // The countdown bar: its maximum the interval; its value the seconds elapsed, unless past the maximum.
    virtual void setCountdown(qint32 maximum, qint32 value) = 0;
    // The interval boxes: 0 hours, 1 minutes, 2 seconds. Setting a text stores it, as typing does.
    virtual QString intervalText(int box) const = 0;
    virtual void setIntervalText(int box, const QString& text) = 0;
    // Start-up's reset, when automatic conversion is off, of the pointer and the conversion progress bar.
    virtual void resetPointer() = 0;
    virtual void setPassProgress(int value) = 0;
    virtual void setPassProgressCaption(const QString& caption) = 0;
};

// Automatic conversion: the toggle, the one-second timer that counts the interval down, and the
// silent pass it starts when the count is up. A pass that falls due while another one runs starts
// when that one has ended.
class Scheduler final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Scheduler)

public:
    Scheduler(SchedulerView& view, ConversionPass& pass, SettingsStore& settings, MessageBoxes& messages,
              QObject* parent = nullptr);

    void PushButton8_Click();
    void Timer1_Timer();
    // Validates the three boxes (non-numeric ones get their defaults) and sets the interval.
    void FindDuration();
    // Start-up: the stored on/off state.
    void Restore(GuardedProcedure& guard);
    // Close handling: no more ticks.
    void Stop();

    bool isOn() const;
    qint32 intervalSeconds() const { return m_intervalSeconds; }
    qint32 elapsedSeconds() const { return m_elapsedSeconds; }
    QTimer& timer() { return m_timer; }

private:
    void runDuePass();
    void setOff();

    SchedulerView& m_view;
    ConversionPass& m_pass;
    SettingsStore& m_settings;
    MessageBoxes& m_messages;
    QTimer m_timer;
    qint32 m_intervalSeconds = 0;
    qint32 m_elapsedSeconds = 0;
    bool m_duePending = false;
};

} // namespace quarnel
