#pragma once

#include "conversion/PassInputs.h"

#include <QStringList>

namespace quarnel {

class MessageBoxes;
class SettingsStore;

// What the pass and the methods read, taken from the stored settings instead of a window's controls:
// the same keys, read as the windows read them at start, at the moment each value is needed, so that a
// change stored meanwhile (from the command line) counts from the next PDF.
class StoredInputs final : public PassInputs, public MethodOptions
{
public:
    StoredInputs(SettingsStore& settings, MessageBoxes& messages);

    int folderRowCount() const override;
    QString folderRow(int index) const override;
    bool saveToFolder() const override { return !saveBesideOriginal(); }
    bool saveBesideOriginal() const override;
    QString outputFolder() const override;
    void setBusy(bool) override { }
    void setProgress(int, const QString&) override { }
    IgnoreList ignoreList() const override;
    bool logSkipped() const override;
    void addNewSubfolders() override;

    Method selectedMethod() const override;
    bool firstPageOnly() const override;
    int quality() const override;
    QString pagesText() const override;
    QString resolutionText() const override;

    // The folder list, and changing it as the window's list changes.
    QStringList folders() const;
    void storeFolders(const QStringList& rows);
    // Adds the folder and every folder beneath it.
    void addFolderTree(const QString& folder, MessageBoxes& messages);
    // Takes the folder and every folder beneath it off (it stays off when new subfolders are watched);
    // the rows taken off.
    int removeFolderTree(const QString& folder);

private:
    const QStringList& rows() const;

    SettingsStore& m_settings;
    MessageBoxes& m_messages;
    mutable QString m_storedList; // the stored text the rows were read from
    mutable QStringList m_rows;
};

} // namespace quarnel
