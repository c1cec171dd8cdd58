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

// The small record beside the log in which placements note what they place, for a whole pass: one file,
// emptied after each PDF (a new file for each would cost more than the rest of the hand-over on some file
// systems), and removed when the pass ends. An empty record means no placement is under way.
class PlacementRecord final
{
public:
    explicit PlacementRecord(QString logPath);
    ~PlacementRecord();
    PlacementRecord(const PlacementRecord&) = delete;
    PlacementRecord& operator=(const PlacementRecord&) = delete;

    const QString& logPath() const { return m_logPath; }
    // Starts noting a placement (the record opened on first use); a run-time error when it cannot.
    void start(const QByteArray& header);
    void note(const QByteArray& line);
    // The placement is over, one way or the other.
    void clear();

private:
    QString m_logPath;
    QString m_path;
    int m_fd = -1;
};

// One PDF's images placed as a whole or not at all. What is placed is noted, while it goes on, in the
// pass's record, so that a placement cut short by a power cut or kill -9 is undone at the next pass,
// unless its "Converted" line made it into the log (then it was complete). Without commit(), the
// destructor removes again every image this placement created (only files it created, checked by
// identity).
class Placement final
{
public:
    Placement(PlacementRecord& record, const QString& pdfPath);
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
    PlacementRecord& m_record;
    struct Placed
    {
        QString target;
        FileIdentity identity;
    };
    std::vector<Placed> m_placed;
    bool m_committed = false;
};

} // namespace quarnel
