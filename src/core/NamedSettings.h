#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace quarnel {

class SettingsStore;

// The conversion settings under names a user understands, for the command line: what the window's
// controls show, read from and written to the same keys in the same formats.
//   method           ghostscript, black-white, acrobat or gflax
//   quality          the JPEG quality, 0 to 100
//   first-page-only  yes or no
//   pages            the pages the GflAx method converts
//   resolution       the GflAx method's resolution: 72, 144, 288, 576 or 1152
//   output           a folder, or "beside the PDF"
//   interval         the time between automatic passes: seconds, or H:MM:SS
//   automatic        on or off: automatic conversion when the window starts
//   start-at-login   on or off
//   desktop-shortcut on or off: GNOME's keyboard shortcut Ctrl+Shift+T for --toggle-automatic
//   ignore           file and folder names never examined: * and ? patterns separated by ";"
//   new-subfolders   yes or no: a folder added with its subfolders also gets those made later
//   on-arrival       on or off: a PDF arriving in a watched folder starts a pass
//   log-skipped      yes or no: a "No new files or changes to convert" line for every PDF skipped
QStringList SettingNames();

// Every named setting and its value now, in the order above.
QList<QPair<QString, QString>> ReadNamedSettings(const SettingsStore& settings);

// The values as the windows read them at start: a value they cannot read leaves their form's default
// (Ghostscript, quality 85, not first page only, no resolution, a folder).
QString StoredMethodName(const SettingsStore& settings);
bool StoredFirstPageOnly(const SettingsStore& settings);
int StoredQuality(const SettingsStore& settings);
QString StoredResolution(const SettingsStore& settings);
bool StoredBesideThePdf(const SettingsStore& settings);

// One change, checked as the window checks its control: the stored keys and texts to write, or why
// the value cannot be taken.
struct SettingChange
{
    QString name;
    QList<QPair<QString, QString>> writes; // key, text
    QString error;
};
SettingChange ParseSettingChange(const SettingsStore& settings, const QString& assignment);
// Writes the change; a run-time error when the store cannot be written.
void WriteSettingChange(SettingsStore& settings, const SettingChange& change);

// The resolutions the GflAx method offers, as its list shows them.
QStringList ResolutionChoices();

// The output text standing for "save beside the PDF".
inline constexpr auto kBesideThePdf = "beside the PDF";

// The seconds between automatic passes for the three interval texts (hours, minutes, seconds): a text
// that is not a number counts as its stored default (0, 0, 30). "Overflow" when the total does not fit.
qint32 IntervalSeconds(const QString& hours, const QString& minutes, const QString& seconds);

} // namespace quarnel
