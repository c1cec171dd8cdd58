#include "desktop/Autostart.h"

#include "core/Paths.h"
#include "core/RuntimeError.h"
#include "files/DurableFiles.h"

#include <QDir>
#include <QFile>

namespace quarnel {

QString DesktopExecArgument(const QString& argument)
{
    QString quoted = QStringLiteral("\"");
    for (QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';
    QString value;
    for (QChar c : quoted) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'%')
            value += QStringLiteral("%%");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else
            value += c;
    }
    return value;
}

QString AutostartEntryPath(const QString& programFile)
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/") + FileNameOf(programFile) + QStringLiteral(".desktop");
}

void EnableWindowsStartup(const QString& programFile)
{
    const QString path = AutostartEntryPath(programFile);
    QDir().mkpath(FolderOf(path));
    const QString entry = QStringLiteral("[Desktop Entry]\nType=Application\nName=Quarnel\n"
                                         "Comment=Turns the pages of PDF files into JPEG images\nExec=")
        + DesktopExecArgument(programFile) + QStringLiteral("\nTerminal=false\nX-GNOME-Autostart-enabled=true\n");
    const QByteArray bytes = entry.toUtf8();
    if (files::ReplaceAtomically(NativeName(path).toStdString(), bytes.constData(),
                                 static_cast<std::size_t>(bytes.size()), 0644)
        != 0)
        throw RuntimeError(ErrorNumber::PermissionDenied);
}

void DisableWindowsStartup(const QString& programFile)
{
    QFile::remove(AutostartEntryPath(programFile));
}

} // namespace quarnel
