// The program without a window: one pass now, the service, and the settings commands.
#include "app/HeadlessCopy.h"
#include "app/Modes.h"
#include "app/ServiceManager.h"
#include "conversion/LogReport.h"
#include "core/FileProcedures.h"
#include "core/PrivateFolder.h"
#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"
#include "desktop/GnomeShortcut.h"
#include "desktop/SingleInstance.h"
#include "desktop/TerminationSignals.h"
#include "scheduler/ArrivalWatch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <optional>

namespace quarnel {

namespace {

void printLine(std::FILE* stream, const QString& text)
{
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stream);
}

void say(const QString& text)
{
    printLine(stderr, QStringLiteral("quarnel: ") + text);
}

// The settings file as every mode opens it: told once when damaged lines were left out of it.
SettingsStore& openSettings(std::optional<SettingsStore>& store)
{
    store.emplace();
    if (!store->damagedCopy().isEmpty())
        say(QStringLiteral("some lines of the settings file could not be read and were left out; the file as it was "
                           "is kept as ")
            + store->damagedCopy());
    return *store;
}

// Hands the request to the running copy; its status, or 3 with the reason when it could not be had.
// A copy that holds the lock but does not listen (yet, or any more) is starting or ending: tried again
// for a few seconds, and once it has gone this start takes the lock itself (no status then).
std::optional<int> takeLockOrAsk(SingleInstance& instance, const QString& command, const QString& argument)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (instance.acquire())
            return std::nullopt;
        const InstanceAnswer answer = instance.ask(command, argument, [](const QString& kind, const QString& text) {
            if (kind == QLatin1String("error"))
                say(text);
            else
                printLine(stdout, text); // a log line, a folder row, the summary
        });
        switch (answer.outcome) {
        case InstanceAnswer::Outcome::Finished:
            return answer.status;
        case InstanceAnswer::Outcome::NoAnswer:
            say(QStringLiteral("a copy of Quarnel is running for this user but did not answer within 10 seconds; "
                               "nothing was done"));
            return 3;
        case InstanceAnswer::Outcome::Dropped:
            say(QStringLiteral("the running copy of Quarnel ended before it finished the request"));
            return 3;
        case InstanceAnswer::Outcome::NoCopy:
            break;
        }
        if (clock.elapsed() > 10000) {
            say(QStringLiteral("a copy of Quarnel holds this user's lock but cannot be reached; nothing was done"));
            return 3;
        }
        QThread::msleep(100);
    }
}

void prepareStart()
{
    EndLeftoverConverters(TempFolder());
    RemoveLeftoverWorkFolders(TempFolder());
}

} // namespace

int RunConvertNow(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    MakeStateFolder();
    SingleInstance instance(StateFolder());
    instance.setWithoutWindow(true);
    if (const auto status = takeLockOrAsk(instance, QStringLiteral("convert"), QString()))
        return *status;
    prepareStart();
    std::optional<SettingsStore> store;
    HeadlessCopy copy(openSettings(store), instance);
    copy.logStart();
    int status = 3;
    copy.passes().request([](const QString& line) { printLine(stdout, line); },
                          [&status](const PassSummary& summary) {
                              if (!summary.ran)
                                  say(summary.refusal);
                              printLine(stdout, PassSummaryLine(summary));
                              status = PassExitStatus(summary);
                          });
    // Later starts that asked for a pass meanwhile have theirs before this copy ends.
    QObject::connect(&copy.passes(), &PassQueue::drained, &app, &QCoreApplication::quit);
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &app, [&] {
        copy.pass().stopAfterCurrentPdf();
        if (!copy.pass().running())
            app.quit();
    });
    app.exec();
    return status;
}

int RunService(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    MakeStateFolder();
    SingleInstance instance(StateFolder());
    instance.setWithoutWindow(true);
    if (!instance.acquire()) {
        say(QStringLiteral("a copy of Quarnel is already running for this user"));
        return 3;
    }
    prepareStart();
    std::optional<SettingsStore> store;
    SettingsStore& settings = openSettings(store);
    HeadlessCopy copy(settings, instance);
    copy.setAutomaticOn(true);
    ServiceManager manager(copy);
    copy.logStart();
    // A silent pass every interval, counted from the end of the pass before, as the window's timer does.
    QTimer next;
    next.setSingleShot(true);
    const auto arm = [&] {
        bool tooLong = false;
        const qint32 seconds = copy.intervalSeconds(&tooLong);
        if (tooLong)
            say(QStringLiteral("the interval is too long; %1 seconds are used").arg(seconds));
        // At least a second apart; beyond 24 days (more than a timer holds), every 24 days.
        next.start(std::clamp(seconds, 1, 24 * 86400) * 1000);
        copy.setNextPass(QDateTime::currentDateTime().addMSecs(next.interval()));
    };
    QObject::connect(&next, &QTimer::timeout, &app, [&] {
        copy.setNextPass({});
        copy.passes().request([](const QString&) {},
                              [&](const PassSummary&) {
                                  if (copy.automaticOn())
                                      arm();
                                  manager.showIdle();
                              });
    });
    arm();
    // While automatic conversion is on, a PDF arriving starts a pass too, where the setting asks for it.
    ArrivalWatch arrivals(
        [&] {
            if (!copy.automaticOn() || settings.GetSetting(SettingKey::OnArrival) != QLatin1String("On"))
                return ArrivalWatch::Wanted {};
            return ArrivalWatch::Wanted {copy.folders(), IgnoreList::FromSettings(settings)};
        },
        [&] { copy.passes().request([](const QString&) {}, [&](const PassSummary&) { manager.showIdle(); }); },
        [](const QString& text) { say(text); });
    arrivals.refresh();
    QObject::connect(&copy.pass(), &ConversionPass::passFinished, &arrivals, &ArrivalWatch::refresh);
    manager.ready();
    // Turned off: no pass from now on (one running goes on); turned on: the first one interval later.
    copy.automaticToggled = [&](bool on) {
        if (on)
            arm();
        else
            next.stop();
        if (!copy.pass().running())
            manager.showIdle();
    };
    bool ending = false;
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &app, [&] {
        ending = true;
        manager.stopping();
        next.stop();
        copy.pass().stopAfterCurrentPdf();
        if (!copy.pass().running())
            app.quit();
    });
    QObject::connect(&copy.pass(), &ConversionPass::passFinished, &app, [&] {
        if (ending)
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    app.exec();
    return 0;
}

int RunSettingsCommand(int argc, char* argv[], const StartRequest& request)
{
    using Mode = StartRequest::Mode;
    QCoreApplication app(argc, argv);
    std::optional<SettingsStore> store;
    SettingsStore& settings = openSettings(store);
    if (request.mode == Mode::ShowSettings) {
        // Every change a running copy makes is in the file at once.
        for (const auto& [name, value] : ReadNamedSettings(settings))
            printLine(stdout, name + u'=' + value);
        return 0;
    }
    if (request.mode == Mode::Failures) {
        // From the log alone: what a copy is doing now does not change what the log says.
        try {
            const QStringList lines = NewestFailures(DefaultLogFilePath());
            for (const QString& line : lines)
                printLine(stdout, line);
            return lines.isEmpty() ? 0 : 1;
        } catch (const RuntimeError& error) {
            say(QStringLiteral("the log cannot be read: ") + QString::fromUtf8(error.what()));
            return 3;
        }
    }
    if (request.mode == Mode::Set) {
        const SettingChange change = ParseSettingChange(settings, request.argument);
        if (!change.error.isEmpty()) {
            say(change.error);
            return 2;
        }
    }
    if ((request.mode == Mode::AddFolder) && !QFileInfo(request.argument).isDir()) {
        say(QStringLiteral("not a folder: ") + request.argument);
        return 2;
    }
    MakeStateFolder();
    SingleInstance instance(StateFolder());
    const QString folder = QFileInfo(request.argument).absoluteFilePath();
    static const char* const commands[]
        = {"", "", "", "folders", "add-folder", "remove-folder", "", "set", "toggle", "status", ""};
    const bool asIs = request.mode == Mode::Set || request.mode == Mode::Folders || request.mode == Mode::Status;
    if (const auto status = takeLockOrAsk(instance, QString::fromLatin1(commands[static_cast<int>(request.mode)]),
                                          asIs ? request.argument : folder))
        return *status;
    // No copy runs (and none starts while this holds the lock): the settings file itself.
    ConsoleMessages messages;
    StoredInputs inputs(settings, messages);
    try {
        switch (request.mode) {
        case Mode::Folders:
            for (const QString& row : inputs.folders())
                printLine(stdout, row);
            return 0;
        case Mode::Status:
            for (const QString& line : LoggedStatusLines(LastLoggedPass(DefaultLogFilePath()), settings))
                printLine(stdout, line);
            return 3;
        case Mode::AddFolder:
            inputs.addFolderTree(folder, messages);
            return 0;
        case Mode::RemoveFolder:
            if (inputs.removeFolderTree(folder) > 0)
                return 0;
            say(QStringLiteral("not in the folder list: ") + folder);
            return 1;
        case Mode::ToggleAutomatic: {
            const bool on = settings.GetSetting(SettingKey::StartStopState) != QLatin1String("On");
            WriteSettingChange(
                settings,
                ParseSettingChange(settings, on ? QStringLiteral("automatic=on") : QStringLiteral("automatic=off")));
            say(QStringLiteral("no copy of Quarnel is running; the stored state was changed for its next start"));
            printLine(stdout, AutomaticStateLine(on));
            return 0;
        }
        case Mode::Set: {
            const SettingChange change = ParseSettingChange(settings, request.argument);
            WriteSettingChange(settings, change);
            if (change.name == QLatin1String("start-at-login"))
                FollowStartAtLogin(settings, QCoreApplication::applicationFilePath());
            if (change.name == QLatin1String("desktop-shortcut")) {
                if (const QString problem = GnomeShortcut::FollowDesktopShortcut(settings); !problem.isEmpty()) {
                    say(problem);
                    return 1;
                }
            }
            return 0;
        }
        default:
            return 2;
        }
    } catch (const RuntimeError& error) {
        say(QString::fromUtf8(error.what()));
        return 3;
    }
}

} // namespace quarnel
