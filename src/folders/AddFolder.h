#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace quarnel {

class IgnoreList;
class MessageBoxes;

// The names GetFilesInFolder found, indexed from 1 to upperBound(); with no match, a single empty
// element at index 0, so that a loop from 1 to upperBound() runs no time.
class FileNameList final
{
public:
    int lowerBound() const { return m_names.size() > 1 ? 1 : 0; }
    int upperBound() const { return static_cast<int>(m_names.size()) - 1; }
    int count() const { return static_cast<int>(m_names.size()) - 1; }
    const QString& operator[](int index) const { return m_names.at(index); }
    QStringList names() const { return m_names.mid(1); }

private:
    friend FileNameList GetFilesInFolder(const QString& folder, const QString& pattern);
    QStringList m_names {QString()}; // index 0 is the empty placeholder
};

// The order folders and files are listed in: by name without regard to letter case.
bool NameOrder(const QString& a, const QString& b);

// Every file (not folder) of the folder whose name matches the "*"/"?" pattern without regard to
// letter case, hidden files included, in name order. A missing folder holds none; a folder that cannot
// be listed (denied, out of descriptors, a failing disk) is a run-time error for the caller to report.
FileNameList GetFilesInFolder(const QString& folder, const QString& pattern);
// True when the path is an existing regular file; a folder, a pipe or a device is not one.
bool IsFilePresent(const QString& path);
// True when the name holds a control character (below 32, or 127 to 159), a "?", or a byte the
// locale's encoding cannot represent.
bool HasInvalidChars(const QString& name);

// Extends the list by every walkable subfolder, level by level, each ending with the separator.
// Folders whose listing is denied or that vanished are removed; a folder already entered in the walk
// (the same device and inode, as through a link loop) is not entered again. Calls yield once per
// folder opened and per subfolder met, so the window stays responsive. A folder whose name is on the
// ignore list is neither listed nor entered.
void GetSubDirectories2016(QStringList& folders, bool recurse, MessageBoxes& messages,
                           const std::function<void()>& yield, const IgnoreList* ignore = nullptr);

// The rows "Add Folders/Subfolders To List" adds for a chosen folder: it and every folder beneath it
// that is not ignored.
QStringList FolderTreeRows(const QString& chosen, MessageBoxes& messages, const std::function<void()>& yield,
                           const IgnoreList& ignore);
// The rows left when a folder and every folder beneath it are taken off the list (a row names a folder
// with or without its closing separator).
QStringList WithoutFolderTree(const QStringList& rows, const QString& folder);

} // namespace quarnel
