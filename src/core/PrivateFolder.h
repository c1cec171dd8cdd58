#pragma once

#include <QString>

namespace quarnel {

// The program's private, persistent folder: $XDG_STATE_HOME/Vantorell/Quarnel (default
// ~/.local/state/Vantorell/Quarnel). Without a trailing separator; not created here.
QString StateFolder();
// Creates the state folder (and what is missing above it) with mode 0700; false when it cannot be had.
bool MakeStateFolder();

// Makes sure the program's own folder at `path` is fit to work in: created with mode 0700 when it is
// missing, and then a real folder (not a link), owned by this user and writable by no one else, in a
// parent that no other account can rearrange. A run-time error (permission denied) otherwise.
void UsePrivateFolder(const QString& path);

// Opens (and with O_CREAT creates, mode 0600) one of the program's own files without following a link,
// and only when it is a regular file of this user that no one else can write. Returns the descriptor;
// a run-time error otherwise.
int OpenPrivateFile(const QString& path, int flags);

// Writes all the bytes to the descriptor; a run-time error when they do not all go (no room, say).
void WriteAll(int fd, const QByteArray& bytes);

// Replaces one of the program's own files with these bytes: written whole and synced under another name,
// then put in place, so that neither a reader nor a power cut ever sees half of it. A run-time error when
// it cannot be written.
void ReplacePrivateFile(const QString& path, const QByteArray& bytes);

} // namespace quarnel
