#include "core/NamedSettings.h"

#include "core/FileProcedures.h"
#include "core/RuntimeError.h"
#include "core/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <optional>

namespace quarnel {

namespace {

const QStringList kResolutions = {QStringLiteral("72"), QStringLiteral("144"), QStringLiteral("288"),
                                  QStringLiteral("576"), QStringLiteral("1152")};
// The stored "Option" of each method, as the options window numbers its buttons.
const QList<QPair<QString, QString>> kMethods = {{QStringLiteral("ghostscript"), QStringLiteral("1")},
                                                 {QStringLiteral("black-white"), QStringLiteral("2")},
                                                 {QStringLiteral("acrobat"), QStringLiteral("3")},
                                                 {QStringLiteral("gflax"), QStringLiteral("4")}};

QString get(const SettingsStore& settings, const SettingKey::Key& key)
{
    return settings.GetSetting(key);
}

// A stored value that cannot be read leaves the control as the window's form has it.
template <typename Read, typename Fallback> auto readOr(Read read, Fallback fallback)
{
    try {
        return read();
    } catch (const RuntimeError&) {
        return fallback;
    }
}

} // namespace

bool StoredFirstPageOnly(const SettingsStore& settings)
{
    return readOr([&] { return TextToInteger16(get(settings, SettingKey::Check5)) != 0; }, false);
}

QString StoredMethodName(const SettingsStore& settings)
{
    const QString option = get(settings, SettingKey::Option);
    // Ticking "first page only" moves the choice off the Acrobat method; Ghostscript is the form's own.
    if (option == QStringLiteral("3") && StoredFirstPageOnly(settings))
        return kMethods[0].first;
    for (const auto& [name, stored] : kMethods)
        if (stored == option)
            return name;
    return kMethods[0].first;
}

bool StoredBesideThePdf(const SettingsStore& settings)
{
    return readOr([&] { return TextToBoolean(get(settings, SettingKey::Option5)); }, false);
}

int StoredQuality(const SettingsStore& settings)
{
    return readOr(
        [&] {
            const qint32 value = TextToInteger32(get(settings, SettingKey::Slider2));
            return value >= 0 && value <= 100 ? value : 85;
        },
        85);
}

QString StoredResolution(const SettingsStore& settings)
{
    const QString resolution = get(settings, SettingKey::Resolution);
    return kResolutions.contains(resolution) ? resolution : QString();
}

namespace {

QString outputText(const SettingsStore& settings)
{
    if (StoredBesideThePdf(settings))
        return QString::fromLatin1(kBesideThePdf);
    if (settings.Contains(SettingKey::OutputFolder))
        return get(settings, SettingKey::OutputFolder);
    return readOr([] { return DesktopFolder(); }, QString());
}

QString onOff(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

std::optional<bool> parseSwitch(const QString& text)
{
    const QString word = text.trimmed().toLower();
    for (const char* yes : {"yes", "on", "true", "1"})
        if (word == QLatin1String(yes))
            return true;
    for (const char* no : {"no", "off", "false", "0"})
        if (word == QLatin1String(no))
            return false;
    return std::nullopt;
}

// Whole hours, minutes or seconds: read the same under every locale the window may run in.
bool isIntervalPart(const QString& text)
{
    return !text.isEmpty() && text.size() <= 9
        && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

void parseInterval(const QString& value, SettingChange& change)
{
    QStringList parts = value.trimmed().split(u':');
    if (parts.size() > 3 || !std::all_of(parts.begin(), parts.end(), isIntervalPart)) {
        change.error = QStringLiteral("interval must be whole seconds, or H:MM:SS");
        return;
    }
    while (parts.size() < 3)
        parts.prepend(QStringLiteral("0"));
    for (QString& part : parts)
        part = QString::number(part.toLongLong());
    try {
        IntervalSeconds(parts[0], parts[1], parts[2]);
    } catch (const RuntimeError&) {
        change.error = QStringLiteral("interval is too long");
        return;
    }
    change.writes = {{QString::fromLatin1(SettingKey::Text11.name), parts[0]},
                     {QString::fromLatin1(SettingKey::Text22.name), parts[1]},
                     {QString::fromLatin1(SettingKey::Text33.name), parts[2]}};
}

void parseOutput(const QString& value, SettingChange& change)
{
    const QString option5 = QString::fromLatin1(SettingKey::Option5.name);
    const QString option6 = QString::fromLatin1(SettingKey::Option6.name);
    if (value == QLatin1String(kBesideThePdf) || value == QLatin1String("beside")) {
        change.writes = {{option6, QStringLiteral("False")}, {option5, QStringLiteral("True")}};
        return;
    }
    const QFileInfo folder(value);
    if (value.isEmpty() || !folder.isDir()) {
        change.error = QStringLiteral("output must be a folder that exists, or \"%1\"").arg(kBesideThePdf);
        return;
    }
    // With its closing separator, as the folder button stores it.
    QString path = QDir::cleanPath(folder.absoluteFilePath());
    if (!path.endsWith(u'/'))
        path += u'/';
    change.writes = {{QString::fromLatin1(SettingKey::OutputFolder.name), path},
                     {option6, QStringLiteral("True")},
                     {option5, QStringLiteral("False")}};
}

void parseValue(const SettingsStore& settings, const QString& name, const QString& value, SettingChange& change)
{
    const auto write = [&](const SettingKey::Key& key, const QString& text) {
        change.writes.append({QString::fromLatin1(key.name), text});
    };
    const std::optional<bool> on = parseSwitch(value);
    if (name == QLatin1String("method")) {
        const auto method
            = std::find_if(kMethods.begin(), kMethods.end(), [&](const auto& m) { return m.first == value; });
        if (method == kMethods.end())
            change.error = QStringLiteral("method must be ghostscript, black-white, acrobat or gflax");
        else if (method->second == QLatin1String("3") && StoredFirstPageOnly(settings))
            change.error = QStringLiteral("the acrobat method cannot be chosen while first-page-only is yes");
        else
            write(SettingKey::Option, method->second);
    } else if (name == QLatin1String("quality")) {
        bool ok = false;
        const int quality = value.trimmed().toInt(&ok);
        if (!ok || quality < 0 || quality > 100)
            change.error = QStringLiteral("quality must be a whole number from 0 to 100");
        else
            write(SettingKey::Slider2, QString::number(quality));
    } else if (name == QLatin1String("first-page-only")) {
        if (!on) {
            change.error = QStringLiteral("first-page-only must be yes or no");
            return;
        }
        write(SettingKey::Check5, *on ? QStringLiteral("1") : QStringLiteral("0"));
        if (*on && get(settings, SettingKey::Option) == QLatin1String("3"))
            write(SettingKey::Option, QStringLiteral("1"));
    } else if (name == QLatin1String("pages")) {
        if (value.contains(u'\n') || value.contains(u'\r'))
            change.error = QStringLiteral("pages must be one line");
        else
            write(SettingKey::Pages, value);
    } else if (name == QLatin1String("resolution")) {
        if (!kResolutions.contains(value))
            change.error = QStringLiteral("resolution must be one of ") + kResolutions.join(QStringLiteral(", "));
        else
            write(SettingKey::Resolution, value);
    } else if (name == QLatin1String("output")) {
        parseOutput(value, change);
    } else if (name == QLatin1String("interval")) {
        parseInterval(value, change);
    } else if (name == QLatin1String("automatic") || name == QLatin1String("start-at-login")
               || name == QLatin1String("desktop-shortcut")) {
        if (!on)
            change.error = name + QStringLiteral(" must be on or off");
        else
            write(name == QLatin1String("automatic")
                      ? SettingKey::StartStopState
                      : (name == QLatin1String("start-at-login") ? SettingKey::WindowsStartup
                                                                 : SettingKey::DesktopShortcut),
                  *on ? QStringLiteral("On") : QStringLiteral("Off"));
    } else {
        change.error = QStringLiteral("no setting is named \"%1\"; the names are: %2")
                           .arg(name, SettingNames().join(QStringLiteral(", ")));
    }
}

} // namespace

QStringList SettingNames()
{
    return {QStringLiteral("method"),          QStringLiteral("quality"),    QStringLiteral("first-page-only"),
            QStringLiteral("pages"),           QStringLiteral("resolution"), QStringLiteral("output"),
            QStringLiteral("interval"),        QStringLiteral("automatic"),  QStringLiteral("start-at-login"),
            QStringLiteral("desktop-shortcut")};
}

QList<QPair<QString, QString>> ReadNamedSettings(const SettingsStore& settings)
{
    const QString interval = readOr(
        [&] {
            return QString::number(IntervalSeconds(get(settings, SettingKey::Text11), get(settings, SettingKey::Text22),
                                                   get(settings, SettingKey::Text33)));
        },
        QStringLiteral("too long"));
    return {
        {QStringLiteral("method"), StoredMethodName(settings)},
        {QStringLiteral("quality"), QString::number(StoredQuality(settings))},
        {QStringLiteral("first-page-only"),
         StoredFirstPageOnly(settings) ? QStringLiteral("yes") : QStringLiteral("no")},
        {QStringLiteral("pages"), get(settings, SettingKey::Pages)},
        {QStringLiteral("resolution"), StoredResolution(settings)},
        {QStringLiteral("output"), outputText(settings)},
        {QStringLiteral("interval"), interval},
        {QStringLiteral("automatic"), onOff(get(settings, SettingKey::StartStopState) == QLatin1String("On"))},
        {QStringLiteral("start-at-login"), onOff(get(settings, SettingKey::WindowsStartup) == QLatin1String("On"))},
        {QStringLiteral("desktop-shortcut"), onOff(get(settings, SettingKey::DesktopShortcut) == QLatin1String("On"))},
    };
}

SettingChange ParseSettingChange(const SettingsStore& settings, const QString& assignment)
{
    SettingChange change;
    const qsizetype equals = assignment.indexOf(u'=');
    if (equals <= 0) {
        change.error = QStringLiteral("expected NAME=VALUE");
        return change;
    }
    change.name = assignment.left(equals).trimmed();
    parseValue(settings, change.name, assignment.mid(equals + 1), change);
    if (!change.error.isEmpty())
        change.writes.clear();
    return change;
}

void WriteSettingChange(SettingsStore& settings, const SettingChange& change)
{
    for (const auto& [key, text] : change.writes)
        settings.SaveSetting(key, text);
}

qint32 IntervalSeconds(const QString& hours, const QString& minutes, const QString& seconds)
{
    const auto number = [](const QString& text, double fallback) {
        try {
            return TextToNumber(text);
        } catch (const RuntimeError&) {
            return fallback;
        }
    };
    double total = number(minutes, 0) * 60;
    total += number(hours, 0) * 3600;
    total += number(seconds, 30);
    const double rounded = std::nearbyint(total); // halves go to the even neighbour
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        throw RuntimeError(ErrorNumber::Overflow);
    return static_cast<qint32>(rounded);
}

} // namespace quarnel
