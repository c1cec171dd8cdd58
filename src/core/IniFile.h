#pragma once

#include <QSettings>

namespace quarnel {

// The settings file's format: INI with [sections] and key=value lines. Values are written quoted and
// escaped; when read, an unquoted value is taken to the end of its line, so a hand-written
// "Listview1=/a/;/b/;" keeps its semicolons and commas.
QSettings::Format QuarnelIniFormat();

// Reads every line that can be read; a damaged line (control bytes such as NUL, or neither a comment,
// a [section] nor key=value) is left out and counted. Lines end in CR, LF or CR LF.
int ParseIniBytes(const QByteArray& bytes, QSettings::SettingsMap& map);
bool ReadIniFile(QIODevice& device, QSettings::SettingsMap& map);
bool WriteIniFile(QIODevice& device, const QSettings::SettingsMap& map);

// Bytes to text and back without loss: bytes that are not UTF-8 become the code units U+DC80 to U+DCFF
// and are written back as the same bytes.
QString DecodeKeepingBytes(QByteArrayView bytes);
QByteArray EncodeKeepingBytes(QStringView text);

} // namespace quarnel
