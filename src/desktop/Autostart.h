#pragma once

#include <QString>

namespace quarnel {

// Quotes one argument for the Exec key of a desktop entry: in double quotes, with the quote, backquote,
// dollar and backslash escaped; then with the escaping every string value gets (backslashes doubled),
// and "%" doubled.
QString DesktopExecArgument(const QString& argument);

// The start-at-login entry for a program file: $XDG_CONFIG_HOME/autostart/<file name>.desktop.
QString AutostartEntryPath(const QString& programFile);
// Writes the entry (atomically) so that the desktop starts the program file at login.
void EnableWindowsStartup(const QString& programFile);
// Deletes the entry.
void DisableWindowsStartup(const QString& programFile);

} // namespace quarnel
