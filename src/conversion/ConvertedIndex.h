#pragma once

#include "conversion/ConversionLog.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace quarnel {

// The version of a PDF that was converted: what tells a changed file from the same one, whatever the
// clocks say. Not the device and inode, so that a network share mounted again is the same.
struct StoredVersion
{
    qint64 size = -1;
    qint64 modifiedNs = 0; // the modification time, in full resolution
    bool operator==(const StoredVersion&) const = default;
};

// What the log says of one PDF: its newest readable "Converted" time (invalid: none), and the version
// recorded for its last "Converted" line, when there is a record for it.
struct ConvertedRecord
{
    QDateTime newest;
    std::optional<StoredVersion> version;
};

// The paths beside the log: the versions converted, and the index saved between runs.
QString LogVersionsPath(const QString& logPath);
QString LogIndexPath(const QString& logPath);
// The version of the PDF whose "Converted" line starts at this offset of the log.
struct VersionNote
{
    qint64 offset;
    quint64 lineHash;
    StoredVersion version;
};
// Notes the versions before their lines are written, synced so that no line outlives its note. A run-time
// error when they cannot be noted.
void AppendVersionRecords(const QString& logPath, const std::vector<VersionNote>& notes);

// The newest "Converted" time of every PDF the log names, kept up to date from the bytes appended to
// the log since it was last read (by this program or another copy), and built anew when the log was
// replaced, shortened or cleared. Answers exactly what a full read of the log would. Saved beside the
// log (checked against the log's bytes when read back), a start reads only what was appended since.
class ConvertedIndex final
{
public:
    explicit ConvertedIndex(QString logPath);

    // What the log says of exactly this path. Throws a run-time error when the log exists but cannot be
    // read.
    ConvertedRecord lookup(const QString& pdfPath);
    // The newest readable "Converted" time for exactly this path; invalid when there is none.
    QDateTime newestConverted(const QString& pdfPath) { return lookup(pdfPath).newest; }

    // True when the notes of converted versions beside the log are there but cannot be read (not a file,
    // not the program's own, unreadable): changes are then told by the log's times alone.
    bool versionsUnreadable() const { return m_versionsUnreadable; }

    // Saves what was taken in, for the next start; nothing when that is saved already. Failures only
    // cost the next start a full read.
    void save();

    // The same answer as newestConverted from a full read of the log, without any index.
    static QDateTime newestConvertedByFullRead(const QString& logPath, const QString& pdfPath);

private:
    struct Entry
    {
        QDateTime newest;
        qint64 lastOffset = -1; // where the last converted line starts
        quint64 lastHash = 0; // and the hash of its bytes
    };
    struct Version
    {
        quint64 lineHash = 0;
        StoredVersion version;
    };

    void refresh();
    void refreshVersions();
    bool load(int fd, qint64 size);
    void rebuild(int fd);
    void consume(const QByteArray& bytes, qint64 offset);
    void take(QByteArrayView raw, qint64 offset);
    bool stillSameFile(int fd, qint64 size) const;

    QString m_logPath;
    QHash<QString, Entry> m_entries;
    std::vector<LogDateFormat> m_formats; // the regional formats the log's dates were written in
    dev_t m_device = 0;
    ino_t m_inode = 0;
    qint64 m_birth = 0;
    qint64 m_offset = -1; // bytes of the log taken in; -1 before the first read
    qint64 m_savedOffset = -1; // what the saved index covers
    bool m_changedSinceSave = false; // converted lines taken in since the index was saved
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
        Entry entry;
    } m_unended; // the converted line m_partial holds, if it is one
    QHash<qint64, Version> m_versions; // by the offset of the converted line they belong to
    qint64 m_versionsRead = 0; // bytes of the versions file taken in
    ino_t m_versionsInode = 0;
    bool m_versionsUnreadable = false;
};

} // namespace quarnel
