#include "conversion/ConversionPass.h"

#include "conversion/ConversionLog.h"
#include "conversion/Placement.h"
#include "core/EndDeferral.h"
#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"
#include "core/Services.h"
#include "folders/AddFolder.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QTemporaryDir>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace quarnel {

QString NewFileName(const QString& path, MessageBoxes& messages)
{
    GuardedProcedure guard(Location::NewFileName, messages);
    QString name = path;
    qint32 counter = 1;
    while (guard.test(102, [&] { return IsFilePresent(name); })) {
        guard.step(104, [&] { name = StripExtension(path) + QString::number(counter) + u'.' + ExtensionOf(path); });
        if (!guard.step(106, [&] {
                if (counter == std::numeric_limits<qint32>::max())
                    throw RuntimeError(ErrorNumber::Overflow);
                ++counter;
            }))
            break;
    }
    return name;
}

ConversionPass::ConversionPass(PassInputs& inputs, MethodOptions& options, MessageBoxes& messages, Clock& clock,
                               QString logFilePath, QObject* parent)
    : QObject(parent)
    , m_inputs(inputs)
    , m_options(options)
    , m_messages(messages)
    , m_clock(clock)
    , m_logFilePath(logFilePath)
    , m_index(std::move(logFilePath))
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kBatchMilliseconds);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] {
        // Never in the middle of the pass's own placing; soon after it instead.
        if (m_placing)
            m_flushTimer.start(10);
        else
            flushNow();
    });
}

ConversionPass::~ConversionPass() = default;

void ConversionPass::setMethod(Method method, ConversionMethod* implementation)
{
    m_methods[method] = implementation;
}

void ConversionPass::setLogFilePath(const QString& path)
{
    m_logFilePath = path;
    m_index = ConvertedIndex(path);
}

QString ConversionPass::now() const
{
    return LogDateTimeText(m_clock.now(), QLocale());
}

void ConversionPass::log(const QString& line)
{
    m_pending.push_back({line, kPlainLine, {}, {}});
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

bool ConversionPass::PreviousConverted(const QString& pdfPath)
{
    GuardedProcedure guard(Location::PreviousConverted, m_messages);
    ConvertedRecord record;
    if (!guard.step(102, [&] { record = m_index.lookup(LogPathText(pdfPath)); }) || !record.newest.isValid())
        return false;
    // Said once a run; the log's times still tell changes meanwhile.
    if (m_index.versionsUnreadable() && !std::exchange(m_notesReported, true))
        guard.step(104, [&] {
            throw RuntimeError(static_cast<int>(ErrorNumber::PathFileAccessError),
                               QStringLiteral("The notes of converted versions cannot be read: ")
                                   + LogVersionsPath(m_logFilePath));
        });
    bool unchanged = false;
    guard.step(110, [&] {
        struct stat info = {};
        if (::stat(NativeName(pdfPath).constData(), &info) != 0)
            throw RuntimeError(ErrorNumber::FileNotFound);
        unchanged = unchangedSince(record, info);
    });
    return unchanged;
}

bool ConversionPass::unchangedSince(const ConvertedRecord& record, const struct stat& info) const
{
    // The version that was converted decides, whatever the clocks and time zones say.
    if (record.version)
        return *record.version
            == StoredVersion {info.st_size, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
    // A line of an older version, without a record: its time is the time just before the PDF was read,
    // in whole seconds, so a save in that same second or later is a change.
    return info.st_mtim.tv_sec < record.newest.toSecsSinceEpoch();
}

bool ConversionPass::passCanRun(GuardedProcedure& guard, bool silent)
{
    if (guard.test(100, [&] { return m_inputs.folderRowCount() == 0; })) {
        if (!silent)
            guard.step(102, [&] { m_messages.inform(QStringLiteral("No files or folders added.")); });
        guard.step(104, [&] { log(LogLine::noFolders(now())); });
        m_summary.refusal = QStringLiteral("No files or folders added.");
        return false;
    }
    if (guard.test(106, [&] { return !FolderExists(m_inputs.outputFolder()) && !m_inputs.saveBesideOriginal(); })) {
        if (!silent)
            guard.step(108, [&] {
                m_messages.inform(QStringLiteral("Folder does not exist. Please select another folder."));
            });
        guard.step(110, [&] { log(LogLine::noOutputFolder(now())); });
        m_summary.refusal = QStringLiteral("Folder does not exist. Please select another folder.");
        return false;
    }
    // A pass whose outcomes cannot be logged would convert every PDF again at every pass. (An added step,
    // numbered between the ones around it.)
    if (guard.step(111, [&] { CheckLogAppendable(m_logFilePath); }))
        return true;
    m_summary.refusal = QStringLiteral("The conversion log cannot be written: ") + m_logFilePath;
    return false;
}

void ConversionPass::ConvertPDFs(bool silent)
{
    if (m_running || m_stopRequested)
        return;
    m_running = true;
    m_silent = silent;
    m_anyConverted = false;
    m_summary = {};
    m_summary.started = m_clock.now();
    QElapsedTimer clock;
    clock.start();
    GuardedProcedure guard(Location::ConvertPDFs, m_messages);
    if (!passCanRun(guard, silent)) {
        flushPending(guard);
        m_summary.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        finished();
        return;
    }
    guard.step(112, [&] { m_inputs.setBusy(true); });
    // A placement an earlier run could not finish (a power cut, kill -9) is undone before anything else.
    guard.step(114, [&] {
        PlacementBatch::recover(m_logFilePath);
        if (m_inputs.saveToFolder())
            PlacementBatch::removeLeftovers(m_inputs.outputFolder());
    });
    IgnoreList ignore;
    bool logSkipped = true;
    guard.step(114, [&] {
        m_inputs.addNewSubfolders();
        ignore = m_inputs.ignoreList();
        logSkipped = m_inputs.logSkipped();
    });
    bool lastSkipped = false;
    guard.step(116, [&] { m_passStartTime = m_clock.now(); });

    const int rows = m_inputs.folderRowCount();
    for (int row = 1; row <= rows && !m_stopRequested; ++row) {
        QString folder;
        // A row removed while the pass yielded gives no folder.
        if (!guard.step(120, [&] {
                if (row > m_inputs.folderRowCount())
                    throw RuntimeError(ErrorNumber::SubscriptOutOfRange);
                folder = m_inputs.folderRow(row - 1);
                if (folder.endsWith(kNativeSeparator))
                    folder.chop(1);
            }))
            continue;
        if (ignore.matchesAnyFolderOf(folder))
            continue; // a recycle bin or snapshot an older list still names
        FileNameList pdfs;
        guard.step(122, [&] { pdfs = GetFilesInFolder(folder, QStringLiteral("*.pdf")); });
        const int count = pdfs.upperBound();
        m_progress = {row, rows, 0, count, QString()};
        for (int file = 1; file <= count && !m_stopRequested; ++file) {
            if (ignore.matches(pdfs[file]))
                continue;
            const QString pdfPath = folder + kNativeSeparator + pdfs[file];
            m_progress.file = file;
            m_progress.pdf = pdfPath;
            emit progressed();
            guard.step(126, [&] {
                const double share = (static_cast<double>(row) * file) / (static_cast<double>(rows) * count) * 100.0;
                m_inputs.setProgress(static_cast<int>(std::nearbyint(share)),
                                     QStringLiteral("Processing: ") + FileNameOf(pdfPath));
            });
            guard.step(130, [&] {
                YieldToEvents();
                m_inputs.setBusy(true);
            });
            // A PDF named twice in the list is judged by its own line, not one still waiting.
            if (m_pendingPdfs.contains(pdfPath))
                flushPending(guard);
            if (PreviousConverted(pdfPath)) {
                lastSkipped = true;
                ++m_summary.skipped;
                if (logSkipped)
                    guard.step(134, [&] { log(LogLine::skipped(now(), pdfPath)); });
                continue;
            }
            lastSkipped = false;
            prepareMethod(folder, pdfs, file);
            convertOne(guard, pdfPath, silent);
        }
    }
    m_summary.ran = true;
    m_summary.stopped = m_stopRequested;
    flushPending(guard);
    m_summary.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    endPass(guard, silent, lastSkipped);
}

void ConversionPass::endPass(GuardedProcedure& guard, bool silent, bool lastSkipped)
{
    for (const auto& [method, implementation] : m_methods)
        if (implementation)
            implementation->passEnded();
    endStaging();
    m_batch.reset();
    // What the pass took in of the log is kept for the next start.
    m_index.save();
    guard.step(150, [&] { m_inputs.setBusy(false); });
    guard.step(152, [&] { m_inputs.setProgress(0, QStringLiteral("Progress Bar")); });
    if (!silent) {
        if (m_anyConverted)
            guard.step(156, [&] { m_messages.inform(QStringLiteral("Done.")); });
        else if (lastSkipped)
            guard.step(160, [&] { m_messages.inform(QStringLiteral("No new files or changes to convert.")); });
    }
    finished();
}

void ConversionPass::finished()
{
    m_summary.ended = m_clock.now();
    m_lastFinished = m_summary;
    m_progress = {};
    m_running = false;
    emit passFinished();
}

FileVersion VersionOf(const QString& path)
{
    struct stat info = {};
    if (::stat(NativeName(path).constData(), &info) != 0)
        return {};
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
}

bool ConversionPass::willConvert(const QString& pdfPath)
{
    struct stat info = {};
    if (::stat(NativeName(pdfPath).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const FileVersion version = VersionOf(pdfPath);
    const qint64 age = m_clock.now().toMSecsSinceEpoch() - version.modifiedMs();
    if (age >= 0 && age < kSettleSeconds * 1000)
        return false; // waited for in its own turn; not worth starting on early
    try {
        const ConvertedRecord record = m_index.lookup(LogPathText(pdfPath));
        return !record.newest.isValid() || !unchangedSince(record, info);
    } catch (const RuntimeError&) {
        return false; // its own turn reports it
    }
}

void ConversionPass::prepareMethod(const QString& folder, const FileNameList& pdfs, int current)
{
    const auto method = m_methods.find(m_options.selectedMethod());
    if (method == m_methods.end() || !method->second)
        return;
    // This PDF and the next few the pass will convert: the method may start on them while it works.
    QStringList upcoming {folder + kNativeSeparator + pdfs[current]};
    for (int next = current + 1; next <= pdfs.upperBound() && upcoming.size() < kPreparedPdfs; ++next) {
        const QString path = folder + kNativeSeparator + pdfs[next];
        if (willConvert(path))
            upcoming.append(path);
    }
    method->second->prepare(upcoming);
}

void ConversionPass::convertOne(GuardedProcedure& guard, const QString& pdfPath, bool silent)
{
    // Still being written (a copy, a download, a scan): waited for, never converted half-way.
    if (!waitUntilSettled(pdfPath)) {
        reportFailure(guard, pdfPath, silent);
        return;
    }
    // The version about to be converted, and the time its converted line will carry: taken before the
    // PDF is read, so that a save during the conversion counts as a change.
    const FileVersion before = VersionOf(pdfPath);
    const QDateTime started = m_clock.now();

    // The method's images are handed over in a folder of the pass's own. One folder serves the whole
    // pass (made again if it went missing): on some file systems making a folder for each PDF cost more
    // than all the rest of the hand-over.
    guard.step(136, [&] { makeStaging(); });
    const QString staging = m_staging ? m_staging->path() : QString();
    // Whatever this PDF leaves there goes before the next PDF's turn, so it is never taken for its pages.
    struct Emptied
    {
        QString folder;
        ~Emptied() { RemoveFolderContents(folder); }
    } emptied {staging};
    bool succeeded = false;
    if (!staging.isEmpty()) {
        guard.step(138, [&] {
            const auto method = m_methods.find(m_options.selectedMethod());
            if (method != m_methods.end() && method->second)
                succeeded = method->second->Convert(pdfPath, staging);
        });
    }
    // Changed while it was converted, the images may mix two versions: none is placed, and the next pass
    // converts the finished file.
    if (!succeeded || (before.size >= 0 && !(VersionOf(pdfPath) == before))) {
        reportFailure(guard, pdfPath, silent);
        return;
    }
    // The images are staged beside their places as one piece of work: an end asked for meanwhile waits
    // for it, and a PDF whose images cannot all be staged has none.
    const CriticalWork critical;
    m_placing = true;
    const bool staged = guard.step(144, [&] {
        if (!m_batch)
            m_batch = std::make_unique<PlacementBatch>(m_logFilePath);
        m_batch->add(pdfPath, imagesOf(staging, pdfPath));
    });
    m_placing = false;
    if (!staged) {
        reportFailure(guard, pdfPath, silent);
        return;
    }
    m_pending.push_back({LogLine::converted(LogDateTimeText(started, QLocale()), pdfPath),
                         m_batch->pdfCount() - 1,
                         pdfPath,
                         {before.size, before.modifiedNs}});
    m_pendingPdfs.insert(pdfPath);
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
    if (m_batch->pdfCount() >= kBatchPdfs || m_stopRequested)
        flushPending(guard);
}

void ConversionPass::flushNow()
{
    GuardedProcedure guard(Location::ConvertPDFs, m_messages);
    flushPending(guard);
}

void ConversionPass::flushPending(GuardedProcedure& guard)
{
    m_flushTimer.stop();
    if (m_pending.empty() || m_placing)
        return;
    m_placing = true;
    const CriticalWork critical;
    std::vector<PendingLine> pending = std::exchange(m_pending, {});
    m_pendingPdfs.clear();
    // The images first, durable under their final names; a PDF whose images could not be placed gets its
    // failed line where its converted line would have stood.
    std::vector<bool> placed;
    if (m_batch && !m_batch->empty())
        guard.step(145, [&] {
            placed = m_batch->place(
                [this](const QString& target, const QSet<QString>& taken) { return freeName(target, taken); },
                [&](const RuntimeError& error) { guard.step(144, [&] { throw error; }); });
        });
    QStringList texts;
    bool anyConverted = false;
    for (PendingLine& line : pending) {
        if (line.pdf >= 0 && !(line.pdf < static_cast<int>(placed.size()) && placed[line.pdf])) {
            line.text = LogLine::failed(now(), line.pdfPath);
            line.pdf = kUnplacedLine;
        }
        anyConverted = anyConverted || line.pdf >= 0;
        texts.append(line.text);
    }
    // Then the lines, each converted one after the note of its version, synced before the PDF counts.
    bool logged = false;
    guard.step(146, [&] {
        logged = AppendLines(texts, m_logFilePath, m_messages, anyConverted, [&](const std::vector<LineAt>& at) {
            std::vector<VersionNote> notes;
            for (std::size_t i = 0; i < pending.size(); ++i)
                if (pending[i].pdf >= 0)
                    notes.push_back({at[i].offset, LogLineHash(at[i].line), pending[i].version});
            try {
                AppendVersionRecords(m_logFilePath, notes);
            } catch (const RuntimeError& error) {
                // Without the notes the lines still count, by their times; said once a run.
                if (!std::exchange(m_notesReported, true))
                    guard.step(147, [&] { throw error; });
            }
        });
    });
    std::vector<bool> kept(placed.size(), false);
    for (const PendingLine& line : pending)
        if (line.pdf >= 0)
            kept[line.pdf] = logged;
    if (m_batch)
        m_batch->committed(kept);
    m_placing = false;
    for (const PendingLine& line : pending) {
        if (logged)
            emit lineLogged(line.text);
        if (line.pdf >= 0 && logged) {
            ++m_summary.converted;
            m_anyConverted = true;
        } else if (line.pdf != kPlainLine) {
            // Nothing of it stays placed: the next pass tries this PDF again.
            ++m_summary.failed;
            // Its failed line; a converted line that could not be logged stands as one.
            m_summary.failures.append(line.pdf == kUnplacedLine ? line.text : LogLine::failed(now(), line.pdfPath));
            if (!m_silent)
                guard.step(140, [&] { m_messages.inform(QStringLiteral("Could not create JPG on ") + line.pdfPath); });
        }
    }
}

QString ConversionPass::freeName(const QString& candidate, const QSet<QString>& taken)
{
    // The usual name first; should it be taken already (by another image of the same batch, or by
    // something that is not a file, like a folder), the numbered names in turn.
    QString name = CollapseBackslashes(NewFileName(candidate, m_messages));
    for (qint64 counter = 1; taken.contains(name) || (counter > 1 && IsFilePresent(name)); ++counter) {
        if (counter > std::numeric_limits<qint32>::max())
            throw RuntimeError(ErrorNumber::Overflow);
        name
            = CollapseBackslashes(StripExtension(candidate) + QString::number(counter) + u'.' + ExtensionOf(candidate));
    }
    return name;
}

void ConversionPass::makeStaging()
{
    if (m_staging && FolderExists(m_staging->path()))
        return;
    endStaging();
    m_staging = std::make_unique<QTemporaryDir>(TempFolder() + u'/' + QLatin1String(kStagingFolderPrefix)
                                                + QStringLiteral("XXXXXX"));
    if (!m_staging->isValid()) {
        m_staging.reset();
        throw RuntimeError(ErrorNumber::PathNotFound);
    }
    SetActiveStagingFolder(m_staging->path());
}

void ConversionPass::reportFailure(GuardedProcedure& guard, const QString& pdfPath, bool silent)
{
    // What waits is made durable before a message can hold the pass (or the user end it).
    flushPending(guard);
    if (!silent)
        guard.step(140, [&] { m_messages.inform(QStringLiteral("Could not create JPG on ") + pdfPath); });
    ++m_summary.failed;
    const QString line = LogLine::failed(now(), pdfPath);
    m_summary.failures.append(line);
    guard.step(142, [&] { log(line); });
}

bool ConversionPass::waitUntilSettled(const QString& pdfPath)
{
    const qint64 began = m_clock.now().toMSecsSinceEpoch();
    for (;;) {
        const FileVersion version = VersionOf(pdfPath);
        const qint64 now = m_clock.now().toMSecsSinceEpoch();
        const qint64 age = now - version.modifiedMs();
        // Gone (the method reports it) or dated ahead of the clock: nothing to wait for.
        if (version.size < 0 || age < 0 || age >= kSettleSeconds * 1000)
            return true;
        const qint64 waited = now - began;
        if (waited >= kSettleLimitSeconds * 1000)
            return false;
        m_clock.waitServingEvents(std::chrono::milliseconds(
            std::max<qint64>(1, std::min(kSettleSeconds * 1000 - age, kSettleLimitSeconds * 1000 - waited))));
    }
}

void ConversionPass::endStaging()
{
    SetActiveStagingFolder(QString());
    m_staging.reset();
}

std::vector<PlacementBatch::Image> ConversionPass::imagesOf(const QString& stagingFolder, const QString& pdfPath)
{
    const FileNameList images = GetFilesInFolder(stagingFolder, QStringLiteral("*.jpg"));
    const int n = images.upperBound();
    const QString folder = m_inputs.saveToFolder() ? m_inputs.outputFolder() : FolderOf(pdfPath);
    std::vector<PlacementBatch::Image> found;
    for (int i = 1; i <= n; ++i) {
        const QString name = images[i];
        if (name.startsWith(u'~'))
            continue;
        const QString stem = n == 1 ? StripExtension(FileNameOf(pdfPath)) : StripExtension(name);
        found.push_back({stagingFolder + kNativeSeparator + name,
                         CollapseBackslashes(folder + kNativeSeparator + stem + QStringLiteral(".jpg"))});
    }
    return found;
}

} // namespace quarnel
