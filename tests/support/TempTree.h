#pragma once

#include "core/FileProcedures.h"
#include "support/QtPrinters.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace quarnel::test {

// A throwaway folder with helpers to lay out files in it.
class TempTree
{
public:
    TempTree() = default;
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    // By the names' bytes: Qt's own removal leaves names that are not valid UTF-8 (and their folder).
    ~TempTree() { RemoveFolderContents(m_dir.path(), true); }

    QString path() const { return m_dir.path(); }
    QString file(const QString& relative) const { return m_dir.filePath(relative); }
    QString write(const QString& relative, const QByteArray& bytes) const
    {
        const QString full = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(full).absolutePath());
        QFile out(full);
        if (out.open(QIODevice::WriteOnly))
            out.write(bytes);
        return full;
    }
    QString mkdir(const QString& relative) const
    {
        const QString full = m_dir.filePath(relative);
        QDir().mkpath(full);
        return full;
    }
    static QByteArray read(const QString& path)
    {
        QFile in(path);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
};

} // namespace quarnel::test
