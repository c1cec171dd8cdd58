#include "conversion/StoredInputs.h"

#include "core/FileProcedures.h"
#include "core/NamedSettings.h"
#include "core/SettingsStore.h"
#include "folders/AddFolder.h"
#include "folders/FolderListFormat.h"

namespace quarnel {

StoredInputs::StoredInputs(SettingsStore& settings, MessageBoxes& messages)
    : m_settings(settings)
    , m_messages(messages)
{ }

const QStringList& StoredInputs::rows() const
{
    const QString stored = m_settings.GetSetting(SettingKey::Listview1);
    if (stored != m_storedList || (m_rows.isEmpty() && !stored.isEmpty())) {
        m_storedList = stored;
        m_rows = stored.isEmpty() ? QStringList() : FolderListFromStored(stored);
    }
    return m_rows;
}

int StoredInputs::folderRowCount() const
{
    return static_cast<int>(rows().size());
}

QString StoredInputs::folderRow(int index) const
{
    return rows().value(index);
}

bool StoredInputs::saveBesideOriginal() const
{
    return StoredBesideThePdf(m_settings);
}

QString StoredInputs::outputFolder() const
{
    // The desktop is asked for only when no folder is stored, as the window asks for it.
    return m_settings.Contains(SettingKey::OutputFolder) ? m_settings.GetSetting(SettingKey::OutputFolder)
                                                         : DesktopFolder();
}

Method StoredInputs::selectedMethod() const
{
    const MethodEntry* entry = MethodNamed(StoredMethodName(m_settings));
    return entry ? entry->method : kMethods[0].method;
}

bool StoredInputs::firstPageOnly() const
{
    return StoredFirstPageOnly(m_settings);
}

int StoredInputs::quality() const
{
    return StoredQuality(m_settings);
}

QString StoredInputs::pagesText() const
{
    return m_settings.GetSetting(SettingKey::Pages);
}

QString StoredInputs::resolutionText() const
{
    return StoredResolution(m_settings);
}

QStringList StoredInputs::folders() const
{
    return rows();
}

void StoredInputs::storeFolders(const QStringList& rows)
{
    m_settings.SaveSetting(SettingKey::Listview1, FolderListToStored(rows));
}

void StoredInputs::addFolderTree(const QString& folder, MessageBoxes& messages)
{
    const QStringList rows = FolderTreeRows(
        folder, messages, [] {}, ignoreList());
    storeFolders(folders() + rows);
    FolderTrees(m_settings).added(rows.value(0));
}

IgnoreList StoredInputs::ignoreList() const
{
    return IgnoreList::FromSettings(m_settings);
}

bool StoredInputs::logSkipped() const
{
    return m_settings.GetSetting(SettingKey::LogSkipped) == QLatin1String("On");
}

void StoredInputs::addNewSubfolders()
{
    if (const QStringList found = FolderTrees(m_settings).newSubfolders(folders(), m_messages, [] {}); !found.isEmpty())
        storeFolders(folders() + found);
}

int StoredInputs::removeFolderTree(const QString& folder)
{
    const QStringList rows = folders();
    const QStringList kept = WithoutFolderTree(rows, folder);
    if (kept.size() != rows.size()) {
        storeFolders(kept);
        QStringList taken = rows;
        taken.removeIf([&](const QString& row) { return kept.contains(row); });
        FolderTrees(m_settings).removed(taken);
    }
    return static_cast<int>(rows.size() - kept.size());
}

} // namespace quarnel
