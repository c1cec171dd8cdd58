#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QString>
#include <QStringView>

namespace quarnel {

// The separator of this system's paths. The path procedures take the separator as a parameter so
// that the same code serves paths written with "\" too.
inline constexpr QChar kNativeSeparator = u'/';

// The text after the last separator; the whole path without one; empty when it ends with one.
QString FileNameOf(const QString& path, QChar separator = kNativeSeparator);
// The text up to and including the last separator; empty without one.
QString FolderOf(const QString& path, QChar separator = kNativeSeparator);
// The text after the last "." when it stands at position 2 or later; otherwise the whole name.
QString ExtensionOf(const QString& name);
// The text before the last "." when it stands at position 2 or later; otherwise the whole name.
QString StripExtension(const QString& name);
// Replaces each pair of separators by one, in one pass. With "\" a leading run becomes exactly two,
// keeping a network path's prefix; with "/" it becomes one, since "//" means nothing more there.
QString CollapseBackslashes(const QString& path, QChar separator = kNativeSeparator);

// A file name is bytes, read as UTF-8 (the system's encoding). A byte that is not part of valid UTF-8 is
// read as a character of its own, U+DC80 to U+DCFF (which valid text never holds alone) and written back
// as the same byte, so that a name from an archive in another encoding still names its file.
QString NameFromNative(QByteArrayView bytes);
QByteArray NativeName(QStringView text);
// True for a character that stands for a byte of a name that is not valid UTF-8.
inline bool IsForeignByte(QChar c)
{
    return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF;
}

} // namespace quarnel
