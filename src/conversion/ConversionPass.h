#pragma once

#include "conversion/ConvertedIndex.h"
#include "conversion/PassInputs.h"
#include "conversion/Placement.h"
#include "folders/AddFolder.h"

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>

namespace quarnel {

class Clock;
class GuardedProcedure;
class MessageBoxes;

// A PDF written to within this many seconds may still be arriving: the pass waits until it has been left
// alone that long, for at most kSettleLimitSeconds, before it converts it.
inline constexpr int kSettleSeconds = 3;
inline constexpr int kSettleLimitSeconds = 30;

// Converted PDFs whose images are made durable and whose lines are written together: at most this many,
// waiting at most this long (the end of a pass, a stop and an error report write them at once).
inline constexpr int kBatchPdfs = 8;
inline constexpr int kBatchMilliseconds = 300;

// How many PDFs, the next one included, the pass tells the method it is about to convert.
inline constexpr int kPreparedPdfs = 8;

// What tells one version of a file from another.
struct FileVersion
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1; // -1: no such file
    qint64 modifiedNs = 0; // full resolution
    qint64 modifiedMs() const { return modifiedNs / 1000000; }
    bool operator==(const FileVersion&) const = default;
};
FileVersion VersionOf(const QString& path);

// A path that names no existing file: the path itself, or its stem with 1, 2, ... before the extension.
QString NewFileName(const QString& path, MessageBoxes& messages);

// What the last pass did.
struct PassSummary
{
    bool ran = false; // false: refused before it began, for `refusal`
    QString refusal;
    bool stopped = false; // asked to stop before it examined every PDF
    int converted = 0;
    int skipped = 0;
    int failed = 0;
    double seconds = 0;
    QDateTime started, ended;
    QStringList failures; // the failed PDFs' log lines
};

// Where a running pass is: the folder of the list it examines and the PDF of that folder.
struct PassProgress
{
    int folder = 0, folders = 0;
    int file = 0, files = 0;
    QString pdf;
};

// The conversion pass: walks the folder list, skips what the log records as converted and unchanged,
// hands every other PDF to the selected method and places its page images under names that never
// overwrite a file. Every outcome is one log line.
class ConversionPass final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConversionPass)

public:
    ConversionPass(PassInputs& inputs, MethodOptions& options, MessageBoxes& messages, Clock& clock,
                   QString logFilePath, QObject* parent = nullptr);
    ~ConversionPass() override;

    void setMethod(Method method, ConversionMethod* implementation);
    void setLogFilePath(const QString& path);

    // One pass. Returns at once when a pass is already running.
    void ConvertPDFs(bool silent);
    bool running() const { return m_running; }

    // True when the PDF was converted and has not changed since.
    bool PreviousConverted(const QString& pdfPath);

    QDateTime passStartTime() const { return m_passStartTime; }
    const PassSummary& lastSummary() const { return m_summary; }
    // The last pass that ended (none yet: not `ran` and no refusal), and where the running one is.
    const PassSummary& lastFinished() const { return m_lastFinished; }
    const PassProgress& progress() const { return m_progress; }
    // The pass running now ends after the PDF it is converting, and none starts from now on.
    void stopAfterCurrentPdf() { m_stopRequested = true; }
    // Writes now what waits to be written: the images of converted PDFs and the log's lines. For an end
    // that is near.
    void flushNow();
    bool stopRequested() const { return m_stopRequested; }

signals:
    // A line the pass wrote to the log, as it was written.
    void lineLogged(const QString& line);
    // The pass came to another PDF (see progress()).
    void progressed();
    void passFinished();

private:
    bool passCanRun(GuardedProcedure& guard, bool silent);
    void endPass(GuardedProcedure& guard, bool silent, bool lastSkipped);
    void makeStaging();
    void convertOne(GuardedProcedure& guard, const QString& pdfPath, bool silent);
    void flushPending(GuardedProcedure& guard);
    QString freeName(const QString& candidate, const QSet<QString>& taken);
    bool waitUntilSettled(const QString& pdfPath);
    bool unchangedSince(const ConvertedRecord& record, const struct stat& info) const;
    void reportFailure(GuardedProcedure& guard, const QString& pdfPath, bool silent);
    bool willConvert(const QString& pdfPath);
    void prepareMethod(const QString& folder, const FileNameList& pdfs, int current);
    std::vector<PlacementBatch::Image> imagesOf(const QString& stagingFolder, const QString& pdfPath);
    void endStaging();
    void log(const QString& line);
    QString now() const;
    void finished();

    PassInputs& m_inputs;
    MethodOptions& m_options;
    MessageBoxes& m_messages;
    Clock& m_clock;
    QString m_logFilePath;
    ConvertedIndex m_index;
    std::map<Method, ConversionMethod*> m_methods;
    QDateTime m_passStartTime;
    bool m_running = false;
    bool m_stopRequested = false;
    PassSummary m_summary;
    PassSummary m_lastFinished;
    PassProgress m_progress;
    // The folder the methods hand their images over in: one for the whole pass, emptied after each PDF.
    std::unique_ptr<QTemporaryDir> m_staging;
    // Converted PDFs whose images and lines wait to be written together, and the lines waiting with them
    // (in the order they came: a plain line, or the converted line of the batch's PDF at that position).
    std::unique_ptr<PlacementBatch> m_batch;
    static constexpr int kPlainLine = -1;
    static constexpr int kUnplacedLine = -2;
    struct PendingLine
    {
        QString text;
        int pdf = kPlainLine;
        QString pdfPath;
        StoredVersion version;
    };
    std::vector<PendingLine> m_pending;
    QSet<QString> m_pendingPdfs;
    QTimer m_flushTimer;
    bool m_placing = false;
    bool m_silent = false;
    bool m_anyConverted = false;
    bool m_notesReported = false;
};

} // namespace quarnel
