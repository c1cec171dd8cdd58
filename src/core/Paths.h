#pragma once

#include <QChar>
#include <QString>

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

} // namespace quarnel
