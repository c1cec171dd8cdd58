#include "folders/FolderWatch.h"

#include "core/Paths.h"
#include "core/SettingsStore.h"
#include "core/Wildcard.h"
#include "folders/AddFolder.h"
#include "folders/FolderListFormat.h"

#include <QSet>

namespace quarnel {

namespace {

// A row as a folder path with one closing separator, so that rows written either way compare equal.
QString folderKey(const QString& row)
{
    QString key = CollapseBackslashes(row.trimmed());
    while (key.size() > 1 && key.endsWith(kNativeSeparator))
        key.chop(1);
    return key == QString(kNativeSeparator) ? key : key + kNativeSeparator;
}

bool isBeneath(const QString& key, const QString& rootKey)
{
    return key != rootKey && key.startsWith(rootKey);
}

QStringList stored(const SettingsStore& settings, const SettingKey::Key& key)
{
    return FolderListFromStored(settings.GetSetting(key));
}

} // namespace

IgnoreList::IgnoreList(const QStringList& patterns)
{
    for (const QString& pattern : patterns)
        m_folded.append(pattern.toCaseFolded());
}

IgnoreList IgnoreList::FromSettings(const SettingsStore& settings)
{
    return IgnoreList(Patterns(settings.GetSetting(SettingKey::Ignore)));
}

QStringList IgnoreList::Patterns(const QString& stored)
{
    QStringList patterns;
    for (const QString& piece : stored.split(u';')) {
        const QString pattern = piece.trimmed();
        if (!pattern.isEmpty())
            patterns.append(pattern);
    }
    return patterns;
}

bool IgnoreList::matches(const QString& name) const
{
    const QString folded = name.toCaseFolded();
    for (const QString& pattern : m_folded)
        if (MatchFolded(pattern, folded))
            return true;
    return false;
}

bool IgnoreList::matchesAnyFolderOf(const QString& path) const
{
    if (m_folded.isEmpty())
        return false;
    for (const QString& name : path.split(kNativeSeparator, Qt::SkipEmptyParts))
        if (matches(name))
            return true;
    return false;
}

FolderTrees::FolderTrees(SettingsStore& settings)
    : m_settings(settings)
{ }

void FolderTrees::added(const QString& root)
{
    if (root.trimmed().isEmpty() || m_settings.GetSetting(SettingKey::NewSubfolders) != QLatin1String("On"))
        return;
    const QString rootKey = folderKey(root);
    QStringList roots = stored(m_settings, SettingKey::FolderTrees);
    if (!roots.contains(rootKey))
        roots.append(rootKey);
    // Adding the tree again brings back what was taken off under it.
    QStringList off = stored(m_settings, SettingKey::RemovedFolders);
    off.removeIf([&](const QString& row) { return row == rootKey || isBeneath(row, rootKey); });
    m_settings.SaveSetting(SettingKey::RemovedFolders, FolderListToStored(off));
    m_settings.SaveSetting(SettingKey::FolderTrees, FolderListToStored(roots));
}

void FolderTrees::removed(const QStringList& rows)
{
    QStringList roots = stored(m_settings, SettingKey::FolderTrees);
    if (roots.isEmpty())
        return;
    QStringList off = stored(m_settings, SettingKey::RemovedFolders);
    for (const QString& row : rows) {
        const QString key = folderKey(row);
        if (roots.removeAll(key) > 0) {
            off.removeIf([&](const QString& taken) { return isBeneath(taken, key); });
            continue;
        }
        if (!off.contains(key)
            && std::any_of(roots.begin(), roots.end(), [&](const QString& root) { return isBeneath(key, root); }))
            off.append(key);
    }
    m_settings.SaveSetting(SettingKey::RemovedFolders, FolderListToStored(off));
    m_settings.SaveSetting(SettingKey::FolderTrees, FolderListToStored(roots));
}

void FolderTrees::cleared()
{
    m_settings.SaveSetting(SettingKey::FolderTrees, QString());
    m_settings.SaveSetting(SettingKey::RemovedFolders, QString());
}

QStringList FolderTrees::newSubfolders(const QStringList& rows, MessageBoxes& messages,
                                       const std::function<void()>& yield) const
{
    const QStringList roots = stored(m_settings, SettingKey::FolderTrees);
    if (roots.isEmpty())
        return {};
    QSet<QString> listed;
    for (const QString& row : rows)
        listed.insert(folderKey(row));
    const QStringList off = stored(m_settings, SettingKey::RemovedFolders);
    const IgnoreList ignore = IgnoreList::FromSettings(m_settings);
    QStringList found;
    for (const QString& root : roots) {
        if (!listed.contains(root))
            continue; // its row was taken off another way: the tree is no longer watched
        QStringList folders {root};
        GetSubDirectories2016(folders, true, messages, yield, &ignore);
        for (const QString& folder : std::as_const(folders)) {
            const QString key = folderKey(folder);
            if (listed.contains(key))
                continue;
            if (std::any_of(off.begin(), off.end(),
                            [&](const QString& taken) { return key == taken || isBeneath(key, taken); }))
                continue;
            listed.insert(key);
            found.append(CollapseBackslashes(folder));
        }
    }
    return found;
}

} // namespace quarnel
