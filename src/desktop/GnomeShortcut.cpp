#include "desktop/GnomeShortcut.h"

#include "core/SettingsStore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <optional>

namespace quarnel::GnomeShortcut {

namespace {

const QString kKeys = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys");
const QString kList = QStringLiteral("custom-keybindings");
const QString kOne = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys.custom-keybinding:");
const QString kOurs = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/quarnel/");
const QString kBinding = QStringLiteral("<Control><Shift>t");

// Runs gsettings; its output, or nothing when it failed.
std::optional<QString> gsettings(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("gsettings"), arguments);
    if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// A string in GVariant's text form.
QString quoted(QString text)
{
    return u'\'' + text.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'")) + u'\'';
}

std::optional<QStringList> shortcutPaths()
{
    const std::optional<QString> text = gsettings({QStringLiteral("get"), kKeys, kList});
    if (!text)
        return std::nullopt;
    QStringList paths;
    static const QRegularExpression item(QStringLiteral("'([^']*)'"));
    for (auto match = item.globalMatch(*text); match.hasNext();)
        paths.append(match.next().captured(1));
    return paths;
}

bool writePaths(const QStringList& paths)
{
    QStringList items;
    for (const QString& path : paths)
        items.append(quoted(path));
    const QString list = items.isEmpty() ? QStringLiteral("@as []") : u'[' + items.join(QStringLiteral(", ")) + u']';
    return gsettings({QStringLiteral("set"), kKeys, kList, list}).has_value();
}

// Ctrl+Shift+T however it is written: <Primary>, <Control> or <Ctrl>, any order, any letter case.
bool isCtrlShiftT(QString binding)
{
    binding = binding.trimmed().remove(u'\'').toLower();
    binding.replace(QStringLiteral("<primary>"), QStringLiteral("<control>"))
        .replace(QStringLiteral("<ctrl>"), QStringLiteral("<control>"));
    static const QRegularExpression modifier(QStringLiteral("<[^>]*>"));
    QStringList modifiers;
    for (auto match = modifier.globalMatch(binding); match.hasNext();)
        modifiers.append(match.next().captured(0));
    modifiers.sort();
    binding.remove(modifier);
    return binding == QLatin1String("t")
        && modifiers == QStringList {QStringLiteral("<control>"), QStringLiteral("<shift>")};
}

} // namespace

bool available()
{
    const std::optional<QString> keys = gsettings({QStringLiteral("list-keys"), kKeys});
    return keys && keys->split(u'\n').contains(kList);
}

bool present()
{
    const std::optional<QStringList> paths = shortcutPaths();
    return paths && paths->contains(kOurs);
}

Outcome add(const QString& command)
{
    std::optional<QStringList> paths = shortcutPaths();
    if (!paths)
        return Outcome::Failed;
    if (paths->contains(kOurs))
        return Outcome::AlreadyThere;
    for (const QString& path : std::as_const(*paths)) {
        const std::optional<QString> binding
            = gsettings({QStringLiteral("get"), kOne + path, QStringLiteral("binding")});
        if (binding && isCtrlShiftT(*binding))
            return Outcome::KeysTaken;
    }
    const QString ours = kOne + kOurs;
    const bool written = gsettings({QStringLiteral("set"), ours, QStringLiteral("name"),
                                    quoted(QStringLiteral("Quarnel: automatic conversion on or off"))})
        && gsettings({QStringLiteral("set"), ours, QStringLiteral("command"), quoted(command)})
        && gsettings({QStringLiteral("set"), ours, QStringLiteral("binding"), quoted(kBinding)});
    if (!written)
        return Outcome::Failed;
    paths->append(kOurs);
    return writePaths(*paths) ? Outcome::Added : Outcome::Failed;
}

bool remove()
{
    std::optional<QStringList> paths = shortcutPaths();
    if (!paths)
        return false;
    if (paths->removeAll(kOurs) > 0 && !writePaths(*paths))
        return false;
    for (const char* key : {"name", "command", "binding"})
        gsettings({QStringLiteral("reset"), kOne + kOurs, QString::fromLatin1(key)});
    return true;
}

QString ToggleCommand()
{
    const QString self = QCoreApplication::applicationFilePath();
    const QString installed = QStandardPaths::findExecutable(QStringLiteral("quarnel"));
    QString program = QStringLiteral("quarnel");
    if (installed.isEmpty() || QFileInfo(installed).canonicalFilePath() != QFileInfo(self).canonicalFilePath()) {
        // The desktop splits the command as a shell would.
        program = self;
        program = u'\'' + program.replace(u'\'', QStringLiteral("'\\''")) + u'\'';
    }
    return program + QStringLiteral(" --toggle-automatic");
}

QString FollowDesktopShortcut(SettingsStore& settings)
{
    if (settings.GetSetting(SettingKey::DesktopShortcut) != QLatin1String("On")) {
        if (!remove())
            return QStringLiteral("the GNOME keyboard shortcut could not be taken away");
        return {};
    }
    switch (add(ToggleCommand())) {
    case Outcome::Added:
    case Outcome::AlreadyThere:
        return {};
    case Outcome::KeysTaken:
        settings.SaveSetting(SettingKey::DesktopShortcut, QStringLiteral("Off"));
        return QStringLiteral("Ctrl+Shift+T is one of your GNOME keyboard shortcuts already; nothing was changed");
    case Outcome::Failed:
        break;
    }
    settings.SaveSetting(SettingKey::DesktopShortcut, QStringLiteral("Off"));
    return QStringLiteral("GNOME's keyboard shortcuts cannot be reached here (no gsettings or no GNOME settings)");
}

} // namespace quarnel::GnomeShortcut
