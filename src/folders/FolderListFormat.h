#pragma once

#include <QString>
#include <QStringList>

namespace quarnel {

// The stored form of the folder list: every row's text followed by ";".
QString FolderListToStored(const QStringList& rows);
// The rows a stored folder list gives: the pieces between ";" that hold more than blanks, untrimmed.
QStringList FolderListFromStored(const QString& stored);

} // namespace quarnel
