#include "app/Modes.h"
#include "core/NamedSettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <variant>

namespace {

using quarnel::StartRequest;

const char* const kExitStatuses = "Exit status:\n"
                                  "  0  done: every PDF examined was converted or skipped\n"
                                  "  1  some PDF failed (--convert-now), or the folder was not in the list\n"
                                  "  2  the command line or a value was not understood; nothing was changed\n"
                                  "  3  the pass could not run or was stopped before its end, or the running copy\n"
                                  "     could not be reached\n";

int usageError(const QString& text)
{
    std::fprintf(stderr, "quarnel: %s\nTry 'quarnel --help' for more information.\n", qPrintable(text));
    return 2;
}

// The options every Qt program takes, handed on to the window system untouched.
void addWindowSystemOptions(QCommandLineParser& parser)
{
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
}

// The command line, read before any window system is reached, so that every mode but the window works
// anywhere. An exit status when the program should end now, otherwise what it is to do.
std::variant<int, StartRequest> readCommandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Turns the pages of the PDF files in watched folders into JPEG images.\n"
        "Without options, opens the window (or brings the running copy's window to the front).\n"
        "The other modes need no display. When a copy of Quarnel already runs for this user (the window or\n"
        "the service), they hand their request to it instead of starting a second copy."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version."));
    const QCommandLineOption convertNow(
        QStringLiteral("convert-now"),
        QStringLiteral("Runs one conversion pass with the stored settings and folder list, prints each line it "
                       "logs and a summary, and ends."));
    const QCommandLineOption service(
        QStringLiteral("service"),
        QStringLiteral("Runs without window, tray or hot key: a silent pass every \"Convert Every\" interval, "
                       "until SIGTERM, SIGINT or SIGHUP (then it ends after the PDF being converted)."));
    const QCommandLineOption folders(QStringLiteral("folders"), QStringLiteral("Prints the folder list."));
    const QCommandLineOption addFolder(QStringLiteral("add-folder"),
                                       QStringLiteral("Adds DIR and all its subfolders to the folder list."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption removeFolder(QStringLiteral("remove-folder"),
                                          QStringLiteral("Takes DIR and all its subfolders off the folder list."),
                                          QStringLiteral("DIR"));
    const QCommandLineOption showSettings(QStringLiteral("show-settings"),
                                          QStringLiteral("Prints the conversion settings as NAME=VALUE lines."));
    const QCommandLineOption set(
        QStringLiteral("set"),
        QStringLiteral("Changes one setting, checked as the window checks it. NAME is one of: ")
            + quarnel::SettingNames().join(QStringLiteral(", ")) + u'.',
        QStringLiteral("NAME=VALUE"));
    const QCommandLineOption toggleAutomatic(
        QStringLiteral("toggle-automatic"),
        QStringLiteral("Turns automatic conversion on or off in the running copy, as its button does (the hot key "
                       "to bind on any desktop); without a running copy, changes the stored state."));
    const QCommandLineOption status(
        QStringLiteral("status"),
        QStringLiteral("Prints what the running copy does as NAME=VALUE lines: converting or idle, automatic "
                       "conversion, the next pass, the last pass and the PDFs that failed in it. Without a "
                       "running copy, the last pass as the log shows it (exit status 3)."));
    const QCommandLineOption failures(
        QStringLiteral("failures"),
        QStringLiteral("Prints the log lines of the PDFs whose newest line is a failure (exit status 1 when "
                       "there are any)."));
    for (const QCommandLineOption* option : {&help, &version, &convertNow, &service, &folders, &addFolder,
                                             &removeFolder, &showSettings, &set, &toggleAutomatic, &status, &failures})
        parser.addOption(*option);
    addWindowSystemOptions(parser);
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(
            qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("quarnel"))),
            stdout);
        std::printf("\n%s", kExitStatuses);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("Quarnel %s\n", QUARNEL_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().front()));
    using Mode = StartRequest::Mode;
    const std::pair<const QCommandLineOption*, Mode> modes[] = {{&convertNow, Mode::ConvertNow},
                                                                {&service, Mode::Service},
                                                                {&folders, Mode::Folders},
                                                                {&addFolder, Mode::AddFolder},
                                                                {&removeFolder, Mode::RemoveFolder},
                                                                {&showSettings, Mode::ShowSettings},
                                                                {&set, Mode::Set},
                                                                {&toggleAutomatic, Mode::ToggleAutomatic},
                                                                {&status, Mode::Status},
                                                                {&failures, Mode::Failures}};
    StartRequest request;
    int chosen = 0;
    for (const auto& [option, mode] : modes) {
        if (!parser.isSet(*option))
            continue;
        ++chosen;
        request.mode = mode;
        if (!option->valueName().isEmpty()) {
            if (parser.values(*option).size() > 1)
                return usageError(QStringLiteral("--%1 is given more than once").arg(option->names().front()));
            request.argument = parser.value(*option);
        }
    }
    if (chosen > 1)
        return usageError(QStringLiteral("only one of --convert-now, --service, --folders, --add-folder, "
                                         "--remove-folder, --show-settings, --set, --toggle-automatic, --status and "
                                         "--failures at a time"));
    return request;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("quarnel"));
    const auto read = readCommandLine(argc, argv);
    if (const int* status = std::get_if<int>(&read))
        return *status;
    const StartRequest& request = std::get<StartRequest>(read);
    using Mode = StartRequest::Mode;
    switch (request.mode) {
    case Mode::Window:
        return quarnel::RunWindow(argc, argv);
    case Mode::ConvertNow:
        return quarnel::RunConvertNow(argc, argv);
    case Mode::Service:
        return quarnel::RunService(argc, argv);
    default:
        return quarnel::RunSettingsCommand(argc, argv, request);
    }
}
