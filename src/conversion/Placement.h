#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <functional>
#include <sys/types.h>
#include <vector>

namespace quarnel {

class RuntimeError;

// Told how many final names batches have given so far, as each is given: where a test cuts a run short
// (kill -9, a power cut) at a point of its choosing.
using PlacementProbe = void (*)(int placed);
void SetPlacementProbe(PlacementProbe probe);

// A file the program placed, as it was when placed: anything else under its name is not the program's
// own (the user replaced or edited it), whatever inode number it has.
struct PlacedFile
{
    ino_t inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    bool operator==(const PlacedFile&) const = default;
};

// The images of a few converted PDFs, placed together so that one round of syncs makes them all durable.
// Each image first goes under a hidden name beside its final place (a hard link to the method's image, or
// a copy where the folders are on different file systems), so that no final name ever holds a cut-off
// file. place() then syncs them, syncs the record, gives them their final names (never replacing a file)
// and syncs their folders; after it, the caller writes and syncs the PDFs' lines and calls committed().
//
// Everything is noted first in a record beside the log, synced before the files it names are made, so
// that what a power cut or kill -9 leaves unfinished is undone at the next pass: the hidden images
// always, the placed ones unless their PDF's "Converted" line made it into the log. Without committed(),
// the destructor undoes the same at once.
class PlacementBatch final
{
public:
    explicit PlacementBatch(QString logPath);
    ~PlacementBatch();
    PlacementBatch(const PlacementBatch&) = delete;
    PlacementBatch& operator=(const PlacementBatch&) = delete;

    struct Image
    {
        QString file; // the method's image
        QString target; // the name it should have, when free
    };
    // Adds one PDF's images under hidden names. A run-time error when they cannot all be staged; none of
    // this PDF's then stays, and the PDFs added before stay added.
    void add(const QString& pdfPath, const std::vector<Image>& images);
    int pdfCount() const { return static_cast<int>(m_pdfs.size()); }
    bool empty() const { return m_pdfs.empty(); }

    // Puts every added PDF's images under their final names, durably; `newName` gives a free name for a
    // target (the target itself, or a numbered one). Returns for each PDF, in order, whether all its
    // images are placed; a PDF that failed has none placed, and `failure` is told why.
    std::vector<bool> place(const std::function<QString(const QString& target, const QSet<QString>& taken)>& newName,
                            const std::function<void(const RuntimeError& error)>& failure);
    // The lines of these PDFs (by position) are durable in the log: their images stay, the others go.
    void committed(const std::vector<bool>& logged);

    // Undoes what a batch left unfinished in an earlier run, if anything; at the start of a pass. A run-time
    // error when the record was unfit to act on (it is removed then, and nothing it names is touched).
    static void recover(const QString& logPath);
    // Removes the hidden images an earlier run left in the folder whose record a power cut lost.
    static void removeLeftovers(const QString& folder);

private:
    struct Staged
    {
        QString hidden;
        QString target;
        QString placed; // its final name, once noted
        PlacedFile file; // as it was made durable
    };
    struct Pdf
    {
        QString path;
        std::vector<Staged> images;
    };
    void openRecord();
    void note(const QByteArray& line);
    void syncRecord();
    void noteFolder(const QString& folder);
    void undo(Pdf& pdf);
    void end();

    QString m_logPath;
    QString m_recordPath;
    int m_record = -1;
    QByteArray m_token;
    qint64 m_serial = 0;
    QSet<QString> m_folders;
    std::vector<Pdf> m_pdfs;
};

} // namespace quarnel
