// The program with its window.
#include "app/CopyControl.h"
#include "app/Modes.h"
#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "conversion/PassQueue.h"
#include "core/FileProcedures.h"
#include "core/PrivateFolder.h"
#include "core/ProcessLaunch.h"
#include "core/SettingsStore.h"
#include "desktop/HotKey.h"
#include "desktop/SingleInstance.h"
#include "desktop/SysTray.h"
#include "desktop/TerminationSignals.h"
#include "scheduler/ArrivalWatch.h"
#include "ui/QtServices.h"
#include "ui/main/Form1.h"
#include "ui/options/Form2.h"

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QTimer>
#include <cstdio>

namespace quarnel {

namespace {

// The window's part for later starts: its list and controls change as if changed in it.
class WindowCopy final : public ControlledCopy
{
public:
    explicit WindowCopy(Form1& form)
        : m_form(form)
    { }
    QStringList folders() const override { return m_form.folderRows(); }
    void addFolderTree(const QString& folder) override
    {
        m_form.AddFolderTree(folder);
        m_form.SaveFolderList();
    }
    int removeFolderTree(const QString& folder) override
    {
        const int removed = m_form.RemoveFolderTree(folder);
        if (removed > 0)
            m_form.SaveFolderList();
        return removed;
    }
    void settingStored(const SettingChange&) override { m_form.ApplyStoredSettings(); }
    bool toggleAutomatic() override
    {
        m_form.scheduler().PushButton8_Click();
        return m_form.scheduler().isOn();
    }
    CopySchedule schedule() const override
    {
        const Scheduler& scheduler = m_form.scheduler();
        CopySchedule schedule {scheduler.isOn(), scheduler.intervalSeconds(), {}};
        // The countdown stands still while a pass runs; the next one is due after it.
        if (schedule.automatic && !m_form.pass().running())
            schedule.nextPass = QDateTime::currentDateTime().addSecs(
                std::max(0, scheduler.intervalSeconds() - scheduler.elapsedSeconds()));
        return schedule;
    }
    const ConversionPass& conversionPass() const override { return m_form.pass(); }

private:
    Form1& m_form;
};

} // namespace

int RunWindow(int argc, char* argv[])
{
    // Taken before the window system is reached: on Wayland, the token the launcher gave this start lets
    // the window it raises (its own, or the running copy's) take the focus.
    QByteArray activationToken = qgetenv("XDG_ACTIVATION_TOKEN");
    if (activationToken.isEmpty())
        activationToken = qgetenv("DESKTOP_STARTUP_ID");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarnel"));
    QApplication::setOrganizationName(QStringLiteral("Vantorell"));
    QApplication::setQuitOnLastWindowClosed(false);

    // A second copy would work on the same log and working folders: it hands over to the first and ends,
    // before it logs or reads anything.
    MakeStateFolder();
    SingleInstance instance(StateFolder());
    if (!instance.acquire()) {
        if (!instance.askRunningCopyToShow(activationToken))
            std::fprintf(stderr, "Quarnel is already running for this user.\n");
        else if (instance.runningCopyIsService())
            QMessageBox::information(nullptr, QStringLiteral("Quarnel"),
                                     QStringLiteral("Quarnel is already running for this user as a service, without a "
                                                    "window (quarnel --service). Stop the service to use the window, "
                                                    "for example with: systemctl --user stop quarnel"));
        return 0;
    }
    EndLeftoverConverters(TempFolder());
    RemoveLeftoverWorkFolders(TempFolder());

    QtMessageBoxes messages;
    QtDesktopOpener opener;
    QtFileDialogs dialogs;
    SystemClock clock;
    SystemRandom random;
    ProcessEnd programEnd;
    SettingsStore settings;

    Form1 form({{messages, opener, dialogs, clock, random, programEnd},
                settings,
                ProgramFolder(),
                QCoreApplication::applicationFilePath(),
                std::make_unique<QtTrayBackend>(),
                GlobalHotKey::create()});
    messages.setParent(&form);
    MethodSet methods(form.methodOptions(), messages, ProgramFolder());
    methods.installInto(form.pass());

    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &form, &Form1::Form_QueryUnload);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                     [&form](QSessionManager&) { form.SaveFolderList(); });
    QObject::connect(&app, &QGuiApplication::aboutToQuit, &form, &Form1::Form_QueryUnload);

    QObject::connect(&instance, &SingleInstance::showRequested, &form, &Form1::bringToFront);
    // Later starts from the command line are served by this copy.
    PassQueue passes(form.pass());
    WindowCopy windowCopy(form);
    CopyControl control(instance, passes, settings, windowCopy);

    // While automatic conversion is on, a PDF arriving starts a pass too, where the setting asks for it.
    ArrivalWatch arrivals(
        [&] {
            if (!form.scheduler().isOn() || settings.GetSetting(SettingKey::OnArrival) != QLatin1String("On"))
                return ArrivalWatch::Wanted {};
            return ArrivalWatch::Wanted {form.folderRows(), IgnoreList::FromSettings(settings)};
        },
        [&] { passes.request([](const QString&) {}, [](const PassSummary&) {}); },
        [&messages](const QString& text) { messages.inform(text); });
    QObject::connect(&form.pass(), &ConversionPass::passFinished, &arrivals, &ArrivalWatch::refresh);

    form.Form_Load();
    form.ShowAtStart();
    arrivals.refresh();
    if (!settings.damagedCopy().isEmpty()) {
        // Told once: the file was written again without the damaged lines.
        QTimer::singleShot(0, &form, [&messages, &settings] {
            messages.inform(QStringLiteral("Some lines of the settings file could not be read and were left out; "
                                           "all other settings were kept.\r\nThe file as it was is kept as ")
                            + settings.damagedCopy());
        });
    }
    return app.exec();
}

} // namespace quarnel
