#pragma once

#include <QString>

namespace quarnel {

class SettingsStore;

// A GNOME custom keyboard shortcut, Ctrl+Shift+T, that runs "quarnel --toggle-automatic": the hot key on
// a GNOME Wayland session whose desktop has no portal for global shortcuts (GNOME before 48). Kept in
// GNOME's own settings (org.gnome.settings-daemon.plugins.media-keys custom-keybindings), through the
// gsettings tool, under a path of the program's own; never over a shortcut the user has on those keys.
namespace GnomeShortcut {

enum class Outcome {
    Added,
    AlreadyThere,
    KeysTaken, // another custom shortcut has Ctrl+Shift+T: nothing was changed
    Failed, // no gsettings, no GNOME settings schema, or a write refused
};

// Whether GNOME's keyboard-shortcut settings can be reached here.
bool available();
// Whether the program's shortcut is in GNOME's list.
bool present();
// Adds the shortcut running `command` (once).
Outcome add(const QString& command);
// Takes the program's shortcut out of GNOME's list again (and only it); true when it is not there now.
bool remove();

// The command the shortcut runs: "quarnel --toggle-automatic" when that is this program, else its path.
QString ToggleCommand();
// The shortcut follows the stored desktop-shortcut setting (stored "Off" again when it cannot be
// added). What went wrong, for the user; empty when it follows.
QString FollowDesktopShortcut(SettingsStore& settings);

} // namespace GnomeShortcut

} // namespace quarnel
