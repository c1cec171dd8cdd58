#include "folders/FolderListFormat.h"

namespace quarnel {

QString FolderListToStored(const QStringList& rows)
{
    QString stored;
    for (const QString& row : rows)
        stored += row + u';';
    return stored;
}

namespace {

bool onlyBlanks(const QString& piece)
{
    for (QChar c : piece) {
        if (c != u' ')
            return false;
    }
    return true;
}

} // namespace

QStringList FolderListFromStored(const QString& stored)
{
    QStringList rows;
    if (stored.isEmpty())
        return rows;
    for (const QString& piece : stored.split(u';')) {
        if (!onlyBlanks(piece))
            rows.append(piece);
    }
    return rows;
}

} // namespace quarnel
