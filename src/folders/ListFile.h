#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace quarnel {

// The entries of a folder list file: a line ends at CR or CR LF, and every LF inside a line separates
// two entries as well. Entries are kept exactly as written; a UTF-8 byte-order mark at the start is
// dropped.
QStringList ListFileEntries(const QByteArray& content);

// The length of the text the Windows file dialog would return for these paths: the full path for one
// file; for several, the folder and each name, separated by NUL characters and ended by two.
qsizetype DialogResultLength(const QStringList& paths);

} // namespace quarnel
