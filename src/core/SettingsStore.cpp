#include "core/SettingsStore.h"

#include "core/IniFile.h"
#include "core/Paths.h"
#include "core/RuntimeError.h"
#include "files/DurableFiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>
#include <cmath>

namespace quarnel {

namespace {

const QString kGroup = QStringLiteral("Quarnel");

QString configHome()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

} // namespace

SettingsStore::SettingsStore()
    : SettingsStore(defaultFilePath())
{ }

namespace {

// When the file has damaged lines: keeps the original under a name of its own and writes the file
// again with every line that could be read. Returns the name the original is kept under.
QString setDamagedFileAside(const QString& filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray original = file.readAll();
    file.close();
    QSettings::SettingsMap map;
    if (ParseIniBytes(original, map) == 0)
        return {};
    QString kept = filePath + QStringLiteral(".damaged");
    for (int n = 1; QFileInfo::exists(kept); ++n)
        kept = filePath + QStringLiteral(".damaged.") + QString::number(n);
    if (files::WriteNewFile(NativeName(kept).toStdString(), original.constData(),
                            static_cast<std::size_t>(original.size()), 0600)
        != 0)
        return {}; // without a copy, the file stays as it is
    QBuffer clean;
    clean.open(QIODevice::WriteOnly);
    if (!WriteIniFile(clean, map)
        || files::ReplaceAtomically(NativeName(filePath).toStdString(), clean.data().constData(),
                                    static_cast<std::size_t>(clean.data().size()), 0600)
            != 0)
        return {};
    return kept;
}

} // namespace

SettingsStore::SettingsStore(const QString& filePath)
    : m_damagedCopy(setDamagedFileAside(filePath))
    , m_settings(std::make_unique<QSettings>(filePath, QuarnelIniFormat()))
{
    m_settings->beginGroup(kGroup);
    const QFileInfo info(filePath);
    // QSettings would rewrite a file it could not read with only the keys it knows of.
    m_writable = m_settings->status() == QSettings::NoError && (!info.exists() || info.isReadable());
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::defaultFilePath()
{
    return configHome() + QStringLiteral("/Vantorell/Quarnel.conf");
}

QString SettingsStore::filePath() const
{
    return m_settings->fileName();
}

QString SettingsStore::GetSetting(const QString& key, const QString& defaultText) const
{
    const QVariant value = m_settings->value(key);
    if (!value.isValid())
        return defaultText;
    return value.toString();
}

QString SettingsStore::GetSetting(const SettingKey::Key& key) const
{
    return GetSetting(QString::fromLatin1(key.name), QString::fromLatin1(key.defaultText ? key.defaultText : ""));
}

bool SettingsStore::Contains(const SettingKey::Key& key) const
{
    return m_settings->contains(QString::fromLatin1(key.name));
}

void SettingsStore::SaveSetting(const QString& key, const QString& text)
{
    if (!m_writable)
        throw RuntimeError(ErrorNumber::PermissionDenied);
    m_settings->setValue(key, text);
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        throw RuntimeError(ErrorNumber::PermissionDenied);
    // The settings are written whole under another name and renamed into place (data synced); the
    // folder is synced too, so that a power cut cannot take the new name back.
    files::SyncFolder(files::FolderOf(NativeName(m_settings->fileName()).toStdString()));
}

double TextToNumber(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        throw RuntimeError(ErrorNumber::TypeMismatch);
    bool ok = false;
    double number = QLocale::system().toDouble(trimmed, &ok);
    if (!ok)
        number = QLocale::c().toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(number))
        throw RuntimeError(ErrorNumber::TypeMismatch);
    return number;
}

bool TextToBoolean(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (trimmed.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0)
        return false;
    return TextToNumber(trimmed) != 0.0;
}

namespace {

qint64 roundToRange(const QString& text, qint64 lowest, qint64 highest)
{
    const double rounded = std::nearbyint(TextToNumber(text)); // the default mode rounds halves to even
    if (rounded < static_cast<double>(lowest) || rounded > static_cast<double>(highest))
        throw RuntimeError(ErrorNumber::Overflow);
    return static_cast<qint64>(rounded);
}

} // namespace

qint16 TextToInteger16(const QString& text)
{
    return static_cast<qint16>(roundToRange(text, -32768, 32767));
}

qint32 TextToInteger32(const QString& text)
{
    return static_cast<qint32>(roundToRange(text, -2147483648LL, 2147483647LL));
}

} // namespace quarnel
