#include "app/HeadlessCopy.h"

#include "conversion/ConversionLog.h"
#include "core/FileProcedures.h"
#include "folders/AddFolder.h"

#include <QCoreApplication>
#include <QLocale>

namespace quarnel {

HeadlessCopy::HeadlessCopy(SettingsStore& settings, SingleInstance& instance)
    : m_settings(settings)
    , m_inputs(settings)
    , m_pass(m_inputs, m_inputs, m_messages, m_clock, DefaultLogFilePath())
    , m_methods(m_inputs, m_messages, ProgramFolder())
    , m_passes(m_pass)
    , m_control(instance, m_passes, settings, *this)
{
    m_methods.installInto(m_pass);
}

void HeadlessCopy::logStart()
{
    AppendStringFSO(LogLine::started(LogDateTimeText(m_clock.now(), QLocale())), DefaultLogFilePath(), 2, m_messages);
}

void HeadlessCopy::addFolderTree(const QString& folder)
{
    m_inputs.storeFolders(m_inputs.folders() + FolderTreeRows(folder, m_messages, [] {}));
}

int HeadlessCopy::removeFolderTree(const QString& folder)
{
    const QStringList rows = m_inputs.folders();
    const QStringList kept = WithoutFolderTree(rows, folder);
    if (kept.size() != rows.size())
        m_inputs.storeFolders(kept);
    return static_cast<int>(rows.size() - kept.size());
}

void HeadlessCopy::settingStored(const SettingChange& change)
{
    // Everything else is read from the file when it is needed.
    if (change.name == QLatin1String("start-at-login"))
        FollowStartAtLogin(m_settings, QCoreApplication::applicationFilePath());
}

} // namespace quarnel
