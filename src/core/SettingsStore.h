#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace quarnel {

// Every key the program keeps, with the default that applies while it is absent.
namespace SettingKey {
struct Key
{
    const char* name;
    const char* defaultText; // nullptr: the default is computed by the caller (the desktop folder)
};
inline constexpr Key Listview1 {"Listview1", ""};
inline constexpr Key OutputFolder {"Output Folder", nullptr};
inline constexpr Key Option6 {"Option6", "1"};
inline constexpr Key Option5 {"Option5", "0"};
inline constexpr Key Text11 {"Text11", "0"};
inline constexpr Key Text22 {"Text22", "0"};
inline constexpr Key Text33 {"Text33", "30"};
inline constexpr Key Option {"Option", "1"};
inline constexpr Key Resolution {"Resolution", "144"};
inline constexpr Key Pages {"Pages", "1"};
inline constexpr Key Check5 {"Check5", "0"};
inline constexpr Key Slider2 {"Slider2", "85"};
inline constexpr Key StartStopState {"StartStopState", "Off"};
inline constexpr Key WindowsStartup {"Windows Startup", "Off"};
inline constexpr Key Minimized {"Minimized", "Off"};
// The GNOME keyboard shortcut for Ctrl+Shift+T where the desktop gives no other way: "On", "Off", or
// empty while it was never offered.
inline constexpr Key DesktopShortcut {"DesktopShortcut", ""};
// Names a pass never examines and a folder tree never enters: patterns separated by ";".
inline constexpr Key Ignore {"Ignore",
                             "._*;.DS_Store;Thumbs.db;@eaDir;#recycle;#snapshot;.snapshot;.zfs;.Trash-*;"
                             "$RECYCLE.BIN;System Volume Information;lost+found"};
// Whether a folder added with its subfolders also watches subfolders made later, and the roots and
// rows taken off that this remembers (in the folder list's own format).
inline constexpr Key NewSubfolders {"NewSubfolders", "On"};
inline constexpr Key FolderTrees {"FolderTrees", ""};
inline constexpr Key RemovedFolders {"RemovedFolders", ""};
// Whether each pass writes a line for every PDF it skips.
inline constexpr Key LogSkipped {"LogSkipped", "On"};
// Whether a PDF arriving in a watched folder starts a pass.
inline constexpr Key OnArrival {"OnArrival", "Off"};
} // namespace SettingKey

// The per-user store of named text values (application "Vantorell", section "Quarnel").
// Every write is flushed at once; a write that cannot reach the file is a "Permission denied" error.
// A file that could not be read is never written over; a damaged line costs that line alone.
class SettingsStore final
{
public:
    // The store at $XDG_CONFIG_HOME/Vantorell/Quarnel.conf (default ~/.config).
    SettingsStore();
    // The store in the given file, for tests and tools.
    explicit SettingsStore(const QString& filePath);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    static QString defaultFilePath();
    QString filePath() const;

    QString GetSetting(const QString& key, const QString& defaultText) const;
    QString GetSetting(const SettingKey::Key& key) const;
    bool Contains(const SettingKey::Key& key) const;
    void SaveSetting(const QString& key, const QString& text);
    void SaveSetting(const SettingKey::Key& key, const QString& text)
    {
        SaveSetting(QString::fromLatin1(key.name), text);
    }

    // False when the file could not be read at start: writes are then refused.
    bool writable() const { return m_writable; }
    // Where the file was kept as it was when it had damaged lines at start (they were left out of the
    // file); empty when it had none.
    QString damagedCopy() const { return m_damagedCopy; }

private:
    QString m_damagedCopy;
    std::unique_ptr<QSettings> m_settings;
    bool m_writable = true;
};

// The text-to-Boolean rule: "True"/"False" in any letter case, or a number (0 is false).
bool TextToBoolean(const QString& text);
// Text to a 16-bit or 32-bit integer, rounding halves to even; "Type mismatch" or "Overflow".
qint16 TextToInteger16(const QString& text);
qint32 TextToInteger32(const QString& text);
// The number a text stands for under the conversion rules; "Type mismatch" when none.
double TextToNumber(const QString& text);

} // namespace quarnel
