#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "core/FileProcedures.h"
#include "core/PrivateFolder.h"
#include "core/QtServices.h"
#include "core/SettingsStore.h"
#include "desktop/HotKey.h"
#include "desktop/SingleInstance.h"
#include "desktop/SysTray.h"
#include "desktop/TerminationSignals.h"
#include "ui/main/Form1.h"
#include "ui/options/Form2.h"

#include <QApplication>
#include <QSessionManager>
#include <QTimer>
#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarnel"));
    QApplication::setOrganizationName(QStringLiteral("Vantorell"));
    QApplication::setQuitOnLastWindowClosed(false);

    // A second copy would work on the same log and working folders: it hands over to the first and ends,
    // before it logs or reads anything.
    quarnel::MakeStateFolder();
    quarnel::SingleInstance instance(quarnel::StateFolder());
    if (!instance.acquire()) {
        if (!instance.askRunningCopyToShow())
            std::fprintf(stderr, "Quarnel is already running for this user.\n");
        return 0;
    }

    quarnel::QtMessageBoxes messages;
    quarnel::QtDesktopOpener opener;
    quarnel::QtFileDialogs dialogs;
    quarnel::SystemClock clock;
    quarnel::SystemRandom random;
    quarnel::ProcessEnd programEnd;
    quarnel::SettingsStore settings;

    quarnel::Form1 form({{messages, opener, dialogs, clock, random, programEnd},
                         settings,
                         quarnel::ProgramFolder(),
                         QCoreApplication::applicationFilePath(),
                         std::make_unique<quarnel::QtTrayBackend>(),
                         quarnel::GlobalHotKey::create()});
    messages.setParent(&form);
    quarnel::MethodSet methods(form.options(), messages, quarnel::ProgramFolder());
    methods.installInto(form.pass());

    quarnel::TerminationSignals termination;
    QObject::connect(&termination, &quarnel::TerminationSignals::terminationRequested, &form,
                     &quarnel::Form1::Form_QueryUnload);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                     [&form](QSessionManager&) { form.SaveFolderList(); });
    QObject::connect(&app, &QGuiApplication::aboutToQuit, &form, &quarnel::Form1::Form_QueryUnload);

    QObject::connect(&instance, &quarnel::SingleInstance::showRequested, &form, &quarnel::Form1::bringToFront);

    form.Form_Load();
    form.ShowAtStart();
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
