#include "app/CopyControl.h"

#include "conversion/ConversionPass.h"
#include "conversion/LogReport.h"
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
        } else if (command == QLatin1String("status")) {
            for (const QString& line : CopyStatusLines(m_copy.conversionPass(), m_copy.schedule()))
                request->reply(QStringLiteral("row"), line);
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

namespace {

QString timeText(const QDateTime& when)
{
    return when.isValid() ? when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate) : QStringLiteral("none");
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

} // namespace

QStringList CopyStatusLines(const ConversionPass& pass, const CopySchedule& schedule)
{
    QStringList lines {QStringLiteral("running=yes")};
    const PassProgress& progress = pass.progress();
    if (pass.running()) {
        lines << QStringLiteral("state=converting")
              << QStringLiteral("folder=%1 of %2").arg(progress.folder).arg(progress.folders);
        if (!progress.pdf.isEmpty())
            lines << QStringLiteral("pdf=%1 of %2").arg(progress.file).arg(progress.files)
                  << QStringLiteral("pdf-path=") + progress.pdf;
    } else {
        lines << QStringLiteral("state=idle");
    }
    lines << QStringLiteral("automatic=") + onOff(schedule.automatic)
          << QStringLiteral("interval=%1").arg(schedule.intervalSeconds)
          << QStringLiteral("next-pass=") + timeText(schedule.nextPass);
    const PassSummary& last = pass.lastFinished();
    if (!last.ended.isValid()) {
        lines << QStringLiteral("last-pass=none");
        return lines;
    }
    lines << QStringLiteral("last-pass-start=") + timeText(last.started)
          << QStringLiteral("last-pass-end=") + timeText(last.ended)
          << QStringLiteral("last-pass=") + PassSummaryLine(last);
    for (const QString& failure : last.failures)
        lines << QStringLiteral("failed=") + failure;
    return lines;
}

QStringList LoggedStatusLines(const std::optional<LoggedPass>& last, const SettingsStore& settings)
{
    QStringList lines {QStringLiteral("running=no")};
    const auto named = ReadNamedSettings(settings);
    for (const char* wanted : {"automatic", "interval"})
        for (const auto& [name, value] : named)
            if (name == QLatin1String(wanted))
                lines << name + u'=' + value;
    if (!last) {
        lines << QStringLiteral("last-pass=none");
        return lines;
    }
    // The times as the log wrote them (in the user's regional format).
    lines << QStringLiteral("last-pass-start=") + last->start << QStringLiteral("last-pass-end=") + last->end
          << QStringLiteral("last-pass=%1 converted, %2 skipped, %3 failed (as the log shows it)")
                 .arg(last->converted)
                 .arg(last->skipped)
                 .arg(last->failed);
    for (const QString& failure : last->failures)
        lines << QStringLiteral("failed=") + failure;
    return lines;
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
