#pragma once

#include "conversion/ConversionLog.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <sys/types.h>
#include <vector>

namespace quarnel {

// The newest "Converted" time of every PDF the log names, kept up to date from the bytes appended to
// the log since it was last read (by this program or another copy), and built anew when the log was
// replaced, shortened or cleared. Answers exactly what a full read of the log would.
class ConvertedIndex final
{
public:
    explicit ConvertedIndex(QString logPath);

    // The newest readable "Converted" time for exactly this path; invalid when there is none.
    // Throws a run-time error when the log exists but cannot be read.
    QDateTime newestConverted(const QString& pdfPath);

    // The same answer as newestConverted from a full read of the log, without any index.
    static QDateTime newestConvertedByFullRead(const QString& logPath, const QString& pdfPath);

private:
    void refresh();
    void rebuild(int fd);
    void consume(const QByteArray& bytes, qint64 offset);
    bool stillSameFile(int fd, qint64 size) const;

    QString m_logPath;
    QHash<QString, QDateTime> m_entries; // the newest converted time of each path
    std::vector<LogDateFormat> m_formats; // the regional formats the log's dates were written in
    dev_t m_device = 0;
    ino_t m_inode = 0;
    qint64 m_offset = -1; // bytes of the log taken in; -1 before the first read
    struct timespec m_modified
    {
    }; // the log's time of last change when it was last read
    QByteArray m_head; // the first bytes of the log, to notice a replaced file
    QByteArray m_tail; // the bytes just before m_offset, likewise
    QByteArray m_partial; // a last line still without its line end
    bool m_overlong = false; // within a line too long to be read
    struct Unended
    {
        QString path;
        QDateTime when;
    } m_unended; // the converted line m_partial holds, if it is one
};

} // namespace quarnel
