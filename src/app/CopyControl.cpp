#include "app/CopyControl.h"

#include "conversion/PassQueue.h"
#include "core/RuntimeError.h"
#include "core/SettingsStore.h"
#include "desktop/Autostart.h"
#include "desktop/GnomeShortcut.h"
#include "desktop/SingleInstance.h"

#include <QFileInfo>
#include <QPointer>

namespace quarnel {

CopyControl::CopyControl(SingleInstance& instance, PassQueue& passes, SettingsStore& settings, ControlledCopy& copy,
                         QObject* parent)
    : QObject(parent)
    , m_passes(passes)
    , m_settings(settings)
    , m_copy(copy)
{
    connect(&instance, &SingleInstance::requestReceived, this, &CopyControl::serve);
}

void CopyControl::serve(InstanceRequest* request)
{
    const QString command = request->command();
    const QString argument = request->argument();
    if (command == QLatin1String("convert")) {
        convert(request);
        return;
    }
    try {
        if (command == QLatin1String("folders")) {
            for (const QString& row : m_copy.folders())
                request->reply(QStringLiteral("row"), row);
            request->finish(0);
        } else if (command == QLatin1String("add-folder")) {
            if (!QFileInfo(argument).isDir()) {
                request->reply(QStringLiteral("error"), QStringLiteral("not a folder: ") + argument);
                request->finish(2);
                return;
            }
            m_copy.addFolderTree(argument);
            request->finish(0);
        } else if (command == QLatin1String("remove-folder")) {
            if (m_copy.removeFolderTree(argument) == 0) {
                request->reply(QStringLiteral("error"), QStringLiteral("not in the folder list: ") + argument);
                request->finish(1);
                return;
            }
            request->finish(0);
        } else if (command == QLatin1String("set")) {
            const SettingChange change = ParseSettingChange(m_settings, argument);
            if (!change.error.isEmpty()) {
                request->reply(QStringLiteral("error"), change.error);
                request->finish(2);
                return;
            }
            WriteSettingChange(m_settings, change);
            m_copy.settingStored(change);
            if (change.name == QLatin1String("desktop-shortcut")) {
                if (const QString problem = GnomeShortcut::FollowDesktopShortcut(m_settings); !problem.isEmpty()) {
                    request->reply(QStringLiteral("error"), problem);
                    request->finish(1);
                    return;
                }
            }
            request->finish(0);
        } else if (command == QLatin1String("toggle")) {
            request->reply(QStringLiteral("row"), AutomaticStateLine(m_copy.toggleAutomatic()));
            request->finish(0);
        } else {
            request->reply(QStringLiteral("error"), QStringLiteral("this copy does not know the request: ") + command);
            request->finish(2);
        }
    } catch (const RuntimeError& error) {
        request->reply(QStringLiteral("error"), QString::fromUtf8(error.what()));
        request->finish(3);
    }
}

void CopyControl::convert(InstanceRequest* request)
{
    // The request may be gone (its asker ended) by the time its pass runs or ends.
    const QPointer<InstanceRequest> asker(request);
    const int id = m_passes.request(
        [asker](const QString& line) {
            if (asker)
                asker->reply(QStringLiteral("line"), line);
        },
        [asker](const PassSummary& summary) {
            if (!asker)
                return;
            if (!summary.ran)
                asker->reply(QStringLiteral("error"), summary.refusal);
            asker->reply(QStringLiteral("summary"), PassSummaryLine(summary));
            asker->finish(PassExitStatus(summary));
        });
    connect(request, &InstanceRequest::abandoned, this, [this, id] { m_passes.cancel(id); });
}

QString AutomaticStateLine(bool on)
{
    return on ? QStringLiteral("automatic=on") : QStringLiteral("automatic=off");
}

void FollowStartAtLogin(const SettingsStore& settings, const QString& programFile)
{
    if (settings.GetSetting(SettingKey::WindowsStartup) == QLatin1String("On"))
        EnableWindowsStartup(programFile);
    else
        DisableWindowsStartup(programFile);
}

} // namespace quarnel
