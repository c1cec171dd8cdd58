#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace quarnel {

class MessageBoxes;
class SettingsStore;

// File and folder names a pass never examines and a folder tree never enters: "*" and "?" patterns
// matched against a whole name without regard to letter case (the litter of other systems: AppleDouble
// files, thumbnail caches, recycle bins and snapshots).
class IgnoreList final
{
public:
    IgnoreList() = default;
    explicit IgnoreList(const QStringList& patterns);
    static IgnoreList FromSettings(const SettingsStore& settings);
    // The stored text's patterns: separated by ";", blanks around each dropped.
    static QStringList Patterns(const QString& stored);

    bool matches(const QString& name) const;
    // True when a folder of the path (a name between separators) matches.
    bool matchesAnyFolderOf(const QString& path) const;

private:
    QStringList m_folded;
};

// The folders added with their subfolders while new subfolders were to be watched, and the rows under
// them the user took off since: at each pass a subfolder made since is added to the list, one taken off
// stays off. Kept beside the folder list, whose own format is unchanged.
class FolderTrees final
{
public:
    explicit FolderTrees(SettingsStore& settings);

    // A tree was added (its root row); remembered when the new-subfolders setting is on.
    void added(const QString& root);
    // Rows were taken off the list.
    void removed(const QStringList& rows);
    // The list was cleared.
    void cleared();
    // The folders under remembered roots still in the list that the list does not have yet, in walk order.
    QStringList newSubfolders(const QStringList& rows, MessageBoxes& messages,
                              const std::function<void()>& yield) const;

private:
    SettingsStore& m_settings;
};

} // namespace quarnel
