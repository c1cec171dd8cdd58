#include "conversion/ConversionPass.h"
#include "conversion/Methods.h"
#include "core/FileProcedures.h"
#include "core/PrivateFolder.h"
#include "core/ProcessLaunch.h"
#include "core/SettingsStore.h"
#include "desktop/HotKey.h"
#include "desktop/SingleInstance.h"
#include "desktop/SysTray.h"
#include "desktop/TerminationSignals.h"
#include "ui/QtServices.h"
#include "ui/main/Form1.h"
#include "ui/options/Form2.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSessionManager>
#include <QTimer>
#include <cstdio>

namespace {

// The command line, read before any window system is reached, so that --help and --version work
// anywhere. Returns the exit status when the program should end now, -1 to go on.
int handleCommandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Turns the pages of the PDF files in watched folders into JPEG images.\n"
                       "Without options, opens the window (or brings the running copy's window to the front)."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version."));
    parser.addOption(help);
    parser.addOption(version);
    // The options every Qt program takes, handed on to the window system untouched.
    for (const char* name :
         {"platform", "platformtheme", "platformpluginpath", "display", "style", "stylesheet", "session", "geometry",
          "qwindowgeometry", "qwindowtitle", "qwindowicon", "name", "title", "plugin"}) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : {"reverse", "nograb", "dograb", "sync", "widgetcount"}) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "quarnel: %s\nTry 'quarnel --help' for more information.\n",
                     qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        std::fputs(
            qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("quarnel"))),
            stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("Quarnel %s\n", QUARNEL_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "quarnel: unexpected argument '%s'\nTry 'quarnel --help' for more information.\n",
                     qPrintable(parser.positionalArguments().front()));
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("quarnel"));
    if (const int status = handleCommandLine(argc, argv); status >= 0)
        return status;
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
    quarnel::EndLeftoverConverters(quarnel::TempFolder());
    quarnel::RemoveLeftoverWorkFolders(quarnel::TempFolder());

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
    quarnel::MethodSet methods(form.methodOptions(), messages, quarnel::ProgramFolder());
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
