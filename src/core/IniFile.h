#pragma once

#include <QSettings>

namespace quarnel {

// The settings file's format: INI with [sections] and key=value lines. Values are written quoted and
// escaped; when read, an unquoted value is taken to the end of its line, so a hand-written
// "Listview1=/a/;/b/;" keeps its semicolons and commas.
QSettings::Format QuarnelIniFormat();

bool ReadIniFile(QIODevice& device, QSettings::SettingsMap& map);
bool WriteIniFile(QIODevice& device, const QSettings::SettingsMap& map);

} // namespace quarnel
