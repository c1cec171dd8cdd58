#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace quarnel {

// Lets the window's pending events run once. Code that calls it must expect to be re-entered.
void YieldToEvents();
// Runs blocking work (syncs to a slow disk) on a thread of its own while the window's events are served,
// and returns when it is done, with its exception if it threw one. The work must not touch Qt objects;
// the caller must expect to be re-entered, as with YieldToEvents.
void RunServingEvents(const std::function<void()>& work);

// True for an existing folder; false for anything else, never an error.
bool FolderExists(const QString& path);
// True when the path's last-modified time can be read; never an error.
bool PathExists(const QString& path);
// Yields once, then deletes every file matching the path (the last component may hold "*" and "?",
// matched without regard to letter case). Every failure is ignored.
void DeleteFileQuietly(const QString& path);
// Creates or empties the file and writes the content and CR LF.
void WriteTextFile(const QString& path, const QString& content);
// The bytes WriteTextFile writes for the content.
QByteArray TextFileBytes(const QString& content);
// True when the path is a regular file, not a link, holding exactly these bytes; never an error.
bool FileHoldsExactly(const QString& path, const QByteArray& bytes);
// True when the path is a regular file that ends as a complete JPEG file ends (its end-of-image marker).
bool EndsAsJpeg(const QString& path);
// Copies a file to a name that must not exist yet, keeping its permissions; false when it cannot (the
// new name then does not exist). For working copies: unlike QFile::copy it does not wait for the disk.
bool CopyToNewFile(const QString& from, const QString& to);
// Removes what the folder holds, at every depth, never following a link out of it; with `andFolder` the
// folder too. By the names' bytes, so that a name that is not valid UTF-8 goes too. Failures are ignored.
void RemoveFolderContents(const QString& folder, bool andFolder = false);
// The user's desktop folder followed by the separator.
QString DesktopFolder();

// "*" and "?" wildcard matching without regard to letter case.
bool WildcardMatch(const QString& pattern, const QString& name);

// The folder of the running executable, without a trailing separator.
QString ProgramFolder();
// TEMP when set, otherwise the program's private state folder (made when missing); without a trailing
// separator.
QString TempFolder();

} // namespace quarnel
