#include "app/HeadlessCopy.h"

#include "conversion/ConversionLog.h"
#include "core/FileProcedures.h"
#include "core/NamedSettings.h"
#include "core/RuntimeError.h"

#include <QCoreApplication>
#include <QLocale>

namespace quarnel {

HeadlessCopy::HeadlessCopy(SettingsStore& settings, SingleInstance& instance)
    : m_settings(settings)
    , m_inputs(settings, m_messages)
    , m_pass(m_inputs, m_inputs, m_messages, m_clock, DefaultLogFilePath())
    , m_methods(m_inputs, m_messages, ProgramFolder())
    , m_passes(m_pass)
    , m_control(instance, m_passes, settings, *this)
    , m_automaticOn(settings.GetSetting(SettingKey::StartStopState) == QLatin1String("On"))
{
    m_methods.installInto(m_pass);
}

void HeadlessCopy::logStart()
{
    AppendStringFSO(LogLine::started(LogDateTimeText(m_clock.now(), QLocale())), DefaultLogFilePath(), 2, m_messages);
}

void HeadlessCopy::addFolderTree(const QString& folder)
{
    m_inputs.addFolderTree(folder, m_messages);
}

int HeadlessCopy::removeFolderTree(const QString& folder)
{
    return m_inputs.removeFolderTree(folder);
}

void HeadlessCopy::settingStored(const SettingChange& change)
{
    // Everything else is read from the file when it is needed.
    if (change.name == QLatin1String("start-at-login"))
        FollowStartAtLogin(m_settings, QCoreApplication::applicationFilePath());
}

qint32 HeadlessCopy::intervalSeconds(bool* tooLong) const
{
    try {
        return IntervalSeconds(m_settings.GetSetting(SettingKey::Text11), m_settings.GetSetting(SettingKey::Text22),
                               m_settings.GetSetting(SettingKey::Text33));
    } catch (const RuntimeError&) {
        if (tooLong)
            *tooLong = true;
        return QString::fromLatin1(SettingKey::Text33.defaultText).toInt();
    }
}

CopySchedule HeadlessCopy::schedule() const
{
    return {m_automaticOn, intervalSeconds(), m_automaticOn ? m_nextPass : QDateTime()};
}

bool HeadlessCopy::toggleAutomatic()
{
    m_automaticOn = !m_automaticOn;
    m_settings.SaveSetting(SettingKey::StartStopState, m_automaticOn ? QStringLiteral("On") : QStringLiteral("Off"));
    if (automaticToggled)
        automaticToggled(m_automaticOn);
    return m_automaticOn;
}

} // namespace quarnel
