#include "core/NamedSettings.h"

#include "core/FileProcedures.h"
#include "core/MethodTable.h"
#include "core/RuntimeError.h"
#include "core/SettingsStore.h"
#include "folders/FolderWatch.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <optional>

namespace quarnel {

namespace {

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
    const MethodEntry* method = MethodStored(get(settings, SettingKey::Option));
    // Ticking "first page only" moves the choice off a method that cannot; the form's own is the first.
    if (!method || (!method->firstPageOnly && StoredFirstPageOnly(settings)))
        method = &kMethods[0];
    return QString::fromLatin1(method->name);
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
    return ResolutionChoices().contains(resolution) ? resolution : QString();
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

void write(SettingChange& change, const SettingKey::Key& key, const QString& text)
{
    change.writes.append({QString::fromLatin1(key.name), text});
}

struct NamedSetting
{
    const char* name;
    const SettingKey::Key* key; // where it is stored (the first key, where it takes several)
    QString (*show)(const SettingsStore&, const NamedSetting&);
    void (*parse)(const SettingsStore&, const NamedSetting&, const QString& value, SettingChange&);
    const char* on = nullptr; // a switch's words for "On" and "Off"
    const char* off = nullptr;
};

QString showSwitch(const SettingsStore& settings, const NamedSetting& setting)
{
    return QLatin1String(get(settings, *setting.key) == QLatin1String("On") ? setting.on : setting.off);
}

void parseSwitchSetting(const SettingsStore&, const NamedSetting& setting, const QString& value, SettingChange& change)
{
    const std::optional<bool> on = parseSwitch(value);
    if (!on)
        change.error = QStringLiteral("%1 must be %2 or %3").arg(QLatin1String(setting.name), setting.on, setting.off);
    else
        write(change, *setting.key, *on ? QStringLiteral("On") : QStringLiteral("Off"));
}

const NamedSetting kNamedSettings[] = {
    {"method", &SettingKey::Option, [](const SettingsStore& s, const NamedSetting&) { return StoredMethodName(s); },
     [](const SettingsStore& settings, const NamedSetting&, const QString& value, SettingChange& change) {
         const MethodEntry* method = MethodNamed(value);
         if (!method) {
             QStringList names;
             for (const MethodEntry& entry : kMethods)
                 names.append(QString::fromLatin1(entry.name));
             change.error = QStringLiteral("method must be %1 or %2")
                                .arg(names.mid(0, names.size() - 1).join(QStringLiteral(", ")), names.last());
         } else if (!method->firstPageOnly && StoredFirstPageOnly(settings)) {
             change.error = QStringLiteral("the %1 method cannot be chosen while first-page-only is yes")
                                .arg(QLatin1String(method->name));
         } else {
             write(change, SettingKey::Option, QString::number(method->stored));
         }
     }},
    {"quality", &SettingKey::Slider2,
     [](const SettingsStore& s, const NamedSetting&) { return QString::number(StoredQuality(s)); },
     [](const SettingsStore&, const NamedSetting&, const QString& value, SettingChange& change) {
         bool ok = false;
         const int quality = value.trimmed().toInt(&ok);
         if (!ok || quality < 0 || quality > 100)
             change.error = QStringLiteral("quality must be a whole number from 0 to 100");
         else
             write(change, SettingKey::Slider2, QString::number(quality));
     }},
    {"first-page-only", &SettingKey::Check5,
     [](const SettingsStore& s, const NamedSetting&) {
         return StoredFirstPageOnly(s) ? QStringLiteral("yes") : QStringLiteral("no");
     },
     [](const SettingsStore& settings, const NamedSetting&, const QString& value, SettingChange& change) {
         const std::optional<bool> on = parseSwitch(value);
         if (!on) {
             change.error = QStringLiteral("first-page-only must be yes or no");
             return;
         }
         write(change, SettingKey::Check5, *on ? QStringLiteral("1") : QStringLiteral("0"));
         const MethodEntry* method = MethodStored(get(settings, SettingKey::Option));
         if (*on && method && !method->firstPageOnly)
             write(change, SettingKey::Option, QString::number(kMethods[0].stored));
     }},
    {"pages", &SettingKey::Pages, [](const SettingsStore& s, const NamedSetting&) { return get(s, SettingKey::Pages); },
     [](const SettingsStore&, const NamedSetting&, const QString& value, SettingChange& change) {
         if (value.contains(u'\n') || value.contains(u'\r'))
             change.error = QStringLiteral("pages must be one line");
         else
             write(change, SettingKey::Pages, value);
     }},
    {"resolution", &SettingKey::Resolution,
     [](const SettingsStore& s, const NamedSetting&) { return StoredResolution(s); },
     [](const SettingsStore&, const NamedSetting&, const QString& value, SettingChange& change) {
         if (!ResolutionChoices().contains(value))
             change.error
                 = QStringLiteral("resolution must be one of ") + ResolutionChoices().join(QStringLiteral(", "));
         else
             write(change, SettingKey::Resolution, value);
     }},
    {"output", &SettingKey::OutputFolder, [](const SettingsStore& s, const NamedSetting&) { return outputText(s); },
     [](const SettingsStore&, const NamedSetting&, const QString& value, SettingChange& change) {
         parseOutput(value, change);
     }},
    {"interval", &SettingKey::Text11,
     [](const SettingsStore& settings, const NamedSetting&) {
         return readOr(
             [&] {
                 return QString::number(IntervalSeconds(get(settings, SettingKey::Text11),
                                                        get(settings, SettingKey::Text22),
                                                        get(settings, SettingKey::Text33)));
             },
             QStringLiteral("too long"));
     },
     [](const SettingsStore&, const NamedSetting&, const QString& value, SettingChange& change) {
         parseInterval(value, change);
     }},
    {"automatic", &SettingKey::StartStopState, showSwitch, parseSwitchSetting, "on", "off"},
    {"start-at-login", &SettingKey::WindowsStartup, showSwitch, parseSwitchSetting, "on", "off"},
    {"desktop-shortcut", &SettingKey::DesktopShortcut, showSwitch, parseSwitchSetting, "on", "off"},
    {"ignore", &SettingKey::Ignore,
     [](const SettingsStore& s, const NamedSetting&) {
         return IgnoreList::Patterns(get(s, SettingKey::Ignore)).join(QStringLiteral(";"));
     },
     [](const SettingsStore&, const NamedSetting&, const QString& value, SettingChange& change) {
         const QStringList patterns = IgnoreList::Patterns(value);
         if (std::any_of(patterns.begin(), patterns.end(),
                         [](const QString& p) { return p.contains(u'/') || p.contains(u'\n') || p.contains(u'\r'); }))
             change.error
                 = QStringLiteral("ignore must be names or * and ? patterns separated by \";\", without \"/\"");
         else
             write(change, SettingKey::Ignore, patterns.join(u';'));
     }},
    {"new-subfolders", &SettingKey::NewSubfolders, showSwitch, parseSwitchSetting, "yes", "no"},
    {"on-arrival", &SettingKey::OnArrival, showSwitch, parseSwitchSetting, "on", "off"},
    {"log-skipped", &SettingKey::LogSkipped, showSwitch, parseSwitchSetting, "yes", "no"},
};

} // namespace

QStringList ResolutionChoices()
{
    return {QStringLiteral("72"), QStringLiteral("144"), QStringLiteral("288"), QStringLiteral("576"),
            QStringLiteral("1152")};
}

QStringList SettingNames()
{
    QStringList names;
    for (const NamedSetting& setting : kNamedSettings)
        names.append(QString::fromLatin1(setting.name));
    return names;
}

QList<QPair<QString, QString>> ReadNamedSettings(const SettingsStore& settings)
{
    QList<QPair<QString, QString>> values;
    for (const NamedSetting& setting : kNamedSettings)
        values.append({QString::fromLatin1(setting.name), setting.show(settings, setting)});
    return values;
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
    const auto setting = std::find_if(std::begin(kNamedSettings), std::end(kNamedSettings),
                                      [&](const NamedSetting& s) { return change.name == QLatin1String(s.name); });
    if (setting == std::end(kNamedSettings))
        change.error = QStringLiteral("no setting is named \"%1\"; the names are: %2")
                           .arg(change.name, SettingNames().join(QStringLiteral(", ")));
    else
        setting->parse(settings, *setting, assignment.mid(equals + 1), change);
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
    const auto fallback = [](const SettingKey::Key& key) { return QString::fromLatin1(key.defaultText).toDouble(); };
    double total = number(minutes, fallback(SettingKey::Text22)) * 60;
    total += number(hours, fallback(SettingKey::Text11)) * 3600;
    total += number(seconds, fallback(SettingKey::Text33));
    const double rounded = std::nearbyint(total); // halves go to the even neighbour
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        throw RuntimeError(ErrorNumber::Overflow);
    return static_cast<qint32>(rounded);
}

} // namespace quarnel
