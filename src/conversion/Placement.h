#pragma once

#include <QString>
#include <sys/types.h>
#include <vector>

namespace quarnel {

// Which file a name held when the program created it.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
};

// One PDF's images placed as a whole or not at all. What is placed is noted, while it goes on, in a
// small record beside the log, so that a placement cut short by a power cut or kill -9 is undone at the
// next pass, unless its "Converted" line made it into the log (then it was complete). Without commit(),
// the destructor removes again every image this placement created (only files it created, checked by
// identity) and the record.
class Placement final
{
public:
    Placement(QString logPath, const QString& pdfPath);
    ~Placement();
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;

    // Before an image is placed under this name; `staged` is the image's own identity, which a name
    // placed by a hard link shares.
    void aboutToPlace(const QString& target, const FileIdentity& staged);
    // The image is in place under this name.
    void placed(const QString& target, const FileIdentity& identity);
    // The PDF's "Converted" line is in the log: its images stay.
    void commit();

    // Undoes what a placement left unfinished in an earlier run, if anything; at the start of a pass.
    static void recover(const QString& logPath);

private:
    void note(const QByteArray& line);

    QString m_recordPath;
    int m_record = -1;
    struct Placed
    {
        QString target;
        FileIdentity identity;
    };
    std::vector<Placed> m_placed;
    bool m_committed = false;
};

} // namespace quarnel
