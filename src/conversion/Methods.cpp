#include "conversion/Methods.h"

#include "conversion/Automation.h"
#include "conversion/ConversionPass.h"
#include "conversion/RenderClient.h"
#include "core/ErrorReport.h"
#include "core/FileProcedures.h"
#include "core/Paths.h"
#include "core/PrivateFolder.h"
#include "core/ProcessLaunch.h"
#include "core/RuntimeError.h"
#include "folders/AddFolder.h"

#include <QCursor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <cmath>
#include <map>

namespace quarnel {

namespace {

// Working copies up to this size are compared with the program's file before they are copied anew.
constexpr qint64 kMostComparedBytes = 1 << 20;

// A handed-over page image: the stem, "-" and the position with at least three digits.
QString handedOverName(const QString& stagingFolder, const QString& stem, int position)
{
    return stagingFolder + kNativeSeparator + stem + u'-' + QStringLiteral("%1").arg(position, 3, 10, QChar(u'0'))
        + QStringLiteral(".jpg");
}

// Moves the image into place; the same as copying and deleting it afterwards, only faster.
void handOver(const QString& image, const QString& target)
{
    const QByteArray to = NativeName(target);
    ::unlink(to.constData());
    if (::rename(NativeName(image).constData(), to.constData()) == 0)
        return;
    if (!CopyToNewFile(image, target))
        throw RuntimeError(ErrorNumber::PathFileAccessError);
}

// A staging folder that cannot be listed is reported at this step and counts as holding no image.
bool anyImage(GuardedProcedure& guard, int step, const QString& folder)
{
    bool any = false;
    guard.step(step, [&] { any = GetFilesInFolder(folder, QStringLiteral("*.jpg")).upperBound() > 0; });
    return any;
}

// One PDF's work with the objects, bounded in time from now until the method returns.
class DocumentTime final
{
public:
    DocumentTime(AutomationFactory& factory, std::chrono::milliseconds limit)
        : m_factory(factory)
    {
        m_factory.limitDocumentTime(limit);
    }
    ~DocumentTime() { m_factory.limitDocumentTime(std::nullopt); }
    DocumentTime(const DocumentTime&) = delete;
    DocumentTime& operator=(const DocumentTime&) = delete;

private:
    AutomationFactory& m_factory;
};

} // namespace

QStringList WholePagesInOrder(const QString& folder, const QStringList& names)
{
    std::map<qint64, QString> byNumber;
    for (const QString& name : names) {
        // The page number: the digits before ".jpg", after the last "-".
        const qsizetype dash = name.lastIndexOf(u'-');
        bool numbered = false;
        const qint64 number = dash < 0 ? 0 : name.mid(dash + 1, name.size() - dash - 5).toLongLong(&numbered);
        if (!numbered || number < 1 || !byNumber.emplace(number, name).second)
            return {};
    }
    QStringList pages;
    for (const auto& [number, name] : byNumber) {
        if (number != pages.size() + 1 || !EndsAsJpeg(folder + kNativeSeparator + name))
            return {};
        pages.append(name);
    }
    return pages;
}

QString PdfStem(const QString& pdfPath)
{
    const QString name = FileNameOf(pdfPath);
    const qsizetype dot = name.indexOf(u'.');
    return dot < 0 ? name : name.left(dot);
}

QString GhostscriptBatchText(int quality)
{
    return QStringLiteral("gswin32c -dBATCH -dNOPAUSE -sDEVICE=jpeg -dJPEGQ=") + QString::number(quality)
        + QStringLiteral(" -sOutputFile=current-%%03d.jpg -r300 current.pdf \r\ndel current.PDF");
}

void CopyFolder(const QString& from, const QString& to)
{
    const QDir source(from);
    if (!source.exists())
        throw RuntimeError(ErrorNumber::PathNotFound);
    if (!QDir().mkpath(to))
        throw RuntimeError(ErrorNumber::PermissionDenied);
    for (const QFileInfo& entry : source.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString target = to + kNativeSeparator + entry.fileName();
        if (entry.isDir()) {
            CopyFolder(entry.filePath(), target);
            continue;
        }
        // A working copy still the same as the program's file stays: on some file systems a new file
        // costs more than all the rest of the hand-over between two PDFs.
        QFile source(entry.filePath());
        const QFileInfo copy(target);
        if (source.size() <= kMostComparedBytes && copy.isFile() && !copy.isSymLink()
            && copy.permissions() == entry.permissions() && source.open(QIODevice::ReadOnly)
            && FileHoldsExactly(target, source.readAll()))
            continue;
        QFile::remove(target);
        // Permissions kept, so launchers stay executable.
        if (!CopyToNewFile(entry.filePath(), target))
            throw RuntimeError(ErrorNumber::PathFileAccessError);
    }
}

namespace {

// The application-wide hourglass, from the step that first shows it until the method returns.
class Hourglass final
{
public:
    Hourglass() = default;
    Hourglass(const Hourglass&) = delete;
    Hourglass& operator=(const Hourglass&) = delete;
    ~Hourglass()
    {
        if (m_shown)
            QGuiApplication::restoreOverrideCursor();
    }
    void show()
    {
        if (!m_shown && qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
            m_shown = true;
        }
    }

private:
    bool m_shown = false;
};

} // namespace

BatchFileMethod::BatchFileMethod(Kind kind, MethodOptions& options, Launcher& launcher, MessageBoxes& messages,
                                 QString programFolder)
    : m_kind(kind)
    , m_options(options)
    , m_launcher(launcher)
    , m_messages(messages)
    , m_programFolder(std::move(programFolder))
    , m_timeLimit(kBatchTimeLimit)
{ }

// Runs the method's batch file in the working folder; its status, and the page count the renderer read
// meanwhile (Ghostscript only).
int BatchFileMethod::runBatch(GuardedProcedure& guard, const QString& work, const QString& pdfPath, int& expectedPages)
{
    const bool ghostscript = m_kind == Kind::Ghostscript;
    int status = -1;
    QString batch = work + QStringLiteral("/convert.bat");
    if (ghostscript) {
        batch = work + QStringLiteral("/pdf2tiff.bat");
        guard.step(110, [&] {
            const QString text = GhostscriptBatchText(m_options.quality());
            // The batch file of the PDF before, when it is this one, stays (a new file is dear).
            if (FileHoldsExactly(batch, TextFileBytes(text)))
                return;
            if (QFileInfo::exists(batch))
                DeleteFileQuietly(batch);
            WriteTextFile(batch, text);
        });
    }
    // The page count is asked of the renderer while the converter works.
    const int ticket = ghostscript && m_pageCounter ? m_pageCounter->askPageCount(pdfPath) : 0;
    guard.step(112,
               [&] { status = OpenAndWait(m_launcher, u'"' + batch + u'"', 0, work + kNativeSeparator, m_timeLimit); });
    if (ticket > 0) {
        try {
            expectedPages = m_pageCounter->takePageCount(ticket);
        } catch (const RuntimeError&) {
            // A PDF the renderer cannot open, Ghostscript may: its pages are taken as they are.
        }
    }
    return status;
}

bool BatchFileMethod::Convert(const QString& pdfPath, const QString& stagingFolder)
{
    const bool ghostscript = m_kind == Kind::Ghostscript;
    GuardedProcedure guard(ghostscript ? Location::PDF_To_BMP_GS : Location::PDF_To_BMP_BW, m_messages);
    const QString name = ghostscript ? QStringLiteral("ps") : QStringLiteral("bw");
    const QString work = TempFolder() + kNativeSeparator + name;
    const QString copy = work + QStringLiteral("/current.pdf");
    const QString imageFolder = ghostscript ? work : work + QStringLiteral("/current");
    const QString pattern = ghostscript ? QStringLiteral("current*.jpg") : QStringLiteral("*.jpg");

    // The working folder must be the program's own: through a folder another account placed there, the
    // batch file and the deletes below would act on that account's choice of files.
    const bool workFolderUsable = guard.step(100, [&] {
        UsePrivateFolder(work);
        CopyFolder(m_programFolder + kNativeSeparator + name, work);
    });
    if (!workFolderUsable)
        return false;
    QString stem;
    guard.step(102, [&] { stem = PdfStem(pdfPath); });
    Hourglass hourglass;
    guard.step(104, [&] {
        hourglass.show();
        DeleteFileQuietly(copy);
        // Whatever an interrupted run left (pages, and pages cut off under their hidden names) goes first,
        // so that none is taken for this PDF's pages and none stands in a new page's way.
        if (ghostscript)
            DeleteFileQuietly(imageFolder + kNativeSeparator + QStringLiteral("current*"));
        else
            RemoveFolderContents(imageFolder);
    });
    guard.step(106, [&] {
        if (!CopyToNewFile(pdfPath, copy))
            throw RuntimeError(PathExists(pdfPath) ? ErrorNumber::PathFileAccessError : ErrorNumber::FileNotFound);
    });
    // The converter's status, passed on by the batch runner: anything but 0 (a failure, a converter
    // ended at its time limit, a batch file that did not start) means pages may be missing or cut short.
    int status = -1;
    int expectedPages = -1;
    // The batch file runs only when the working copy is there; otherwise there is nothing to wait for.
    if (QFileInfo::exists(copy)) {
        status = runBatch(guard, work, pdfPath, expectedPages);
        // The batch file has ended; a copy it did not delete (it failed, or ran too long) goes now.
        guard.step(114, [&] { DeleteFileQuietly(copy); });
    }
    FileNameList images;
    guard.step(116, [&] { images = GetFilesInFolder(imageFolder, pattern); });
    // The pages in page order, each whole: numbered 1, 2, ... without a gap, each ending as a JPEG ends.
    // Anything else (a converter that failed, ran out of room or was ended) hands over nothing.
    QStringList pages = status == 0 ? WholePagesInOrder(imageFolder, images.names()) : QStringList();
    if (expectedPages >= 0 && pages.size() != expectedPages)
        pages.clear();
    const int handOverCount
        = static_cast<int>(m_options.firstPageOnly() ? std::min<qsizetype>(pages.size(), 1) : pages.size());
    int handedOver = 0;
    for (int i = 1; i <= handOverCount; ++i) {
        guard.step(120, [&] {
            handOver(imageFolder + kNativeSeparator + pages[i - 1], handedOverName(stagingFolder, stem, i));
            ++handedOver;
        });
    }
    guard.step(122, [&] { DeleteFileQuietly(imageFolder + kNativeSeparator + pattern); });
    if (!ghostscript)
        guard.step(124, [&] { QDir(imageFolder).removeRecursively(); });
    return handedOver > 0 && handedOver == handOverCount;
}

AcrobatMethod::AcrobatMethod(AutomationFactory& factory, MessageBoxes& messages)
    : m_factory(factory)
    , m_messages(messages)
    , m_timeLimit(kBatchTimeLimit)
{ }

bool AcrobatMethod::Convert(const QString& pdfPath, const QString& stagingFolder)
{
    GuardedProcedure guard(Location::PDF_To_BMP_Acro, m_messages);
    m_factory.takeCutShort();
    const DocumentTime bounded(m_factory, m_timeLimit);
    QString stem;
    guard.step(100, [&] { stem = PdfStem(pdfPath); });
    std::unique_ptr<AutomationObject> app;
    std::unique_ptr<AutomationObject> document;
    guard.step(102, [&] { app = m_factory.CreateObject(QStringLiteral("AcroExch.app")); });
    guard.step(104, [&] { document = m_factory.CreateObject(QStringLiteral("AcroExch.PDDoc")); });
    auto* doc = dynamic_cast<AcroPDDoc*>(document.get());
    bool opened = false;
    bool saved = false;
    guard.step(106, [&] {
        if (!doc)
            throw RuntimeError(ErrorNumber::ObjectNotSet);
        opened = doc->Open(pdfPath);
    });
    if (opened) {
        std::unique_ptr<AcroJSObject> js;
        guard.step(108, [&] { js = doc->GetJSObject(); });
        saved = guard.step(110, [&] {
            if (!js)
                throw RuntimeError(ErrorNumber::ObjectNotSet);
            js->SaveAs(stagingFolder + kNativeSeparator + stem + QStringLiteral(".jpg"),
                       QStringLiteral("com.adobe.acrobat.jpeg"));
        });
        guard.step(112, [&] { doc->Close(); });
    }
    guard.step(116, [&] {
        auto* acrobat = dynamic_cast<AcroApp*>(app.get());
        if (!acrobat)
            throw RuntimeError(ErrorNumber::ObjectNotSet);
        acrobat->Exit();
    });
    // Success only when the document opened and every page was written; a page that could not be (cut
    // short, no room, a name too long) means some are missing, and the PDF is tried again rather than
    // placed incomplete.
    const bool cutShort = m_factory.takeCutShort();
    return opened && saved && !cutShort && anyImage(guard, 118, stagingFolder);
}

void AcrobatMethod::prepare(const QStringList& pdfPaths)
{
    for (const QString& pdf : pdfPaths)
        m_factory.prepareDocument(pdf);
}

void AcrobatMethod::passEnded()
{
    m_factory.dropPrepared();
}

GflAxMethod::GflAxMethod(AutomationFactory& factory, MethodOptions& options, MessageBoxes& messages)
    : m_factory(factory)
    , m_options(options)
    , m_messages(messages)
    , m_timeLimit(kBatchTimeLimit)
{ }

bool GflAxMethod::Convert(const QString& pdfPath, const QString& stagingFolder)
{
    GuardedProcedure guard(Location::PDF_To_BMP_GFAX, m_messages);
    m_factory.takeCutShort();
    const DocumentTime bounded(m_factory, m_timeLimit);
    std::unique_ptr<AutomationObject> object;
    guard.step(100, [&] { object = m_factory.CreateObject(QStringLiteral("GflAx.GflAx")); });
    auto* gfl = dynamic_cast<GflAxObject*>(object.get());
    if (!gfl)
        return false;
    QString stem;
    guard.step(102, [&] { stem = PdfStem(pdfPath); });
    qint16 pages = 0;
    guard.step(104, [&] {
        const double value = std::nearbyint(NumericPrefix(m_options.pagesText()));
        if (value < -32768 || value > 32767)
            throw RuntimeError(ErrorNumber::Overflow);
        pages = static_cast<qint16>(value);
    });
    for (qint16 page = 1; page <= pages && page > 0; ++page) {
        guard.step(106, [&] { gfl->setEpsDpi(NumericPrefix(m_options.resolutionText())); });
        guard.step(108, [&] { gfl->setPage(page); });
        guard.step(110, [&] { gfl->LoadBitmap(pdfPath); });
        guard.step(112, [&] { gfl->setSaveformat(1); });
        guard.step(114, [&] { gfl->setSaveJPEGQuality(m_options.quality()); });
        guard.step(116, [&] {
            gfl->saveBitmap(stagingFolder + kNativeSeparator + stem + QString::number(page) + QStringLiteral(".jpg"));
        });
        if (page == 32767)
            break;
    }
    // Every page loaded must have been saved: one that could not be written fails the PDF.
    const bool saved = guard.step(118, [&] { gfl->Release(); });
    return saved && !m_factory.takeCutShort() && anyImage(guard, 120, stagingFolder);
}

void GflAxMethod::prepare(const QStringList& pdfPaths)
{
    // The pages and settings Convert will ask for, read as it reads them; nothing when it would fail.
    const double pages = std::nearbyint(NumericPrefix(m_options.pagesText()));
    if (!(pages >= 1 && pages <= 32767))
        return;
    const double dpi = NumericPrefix(m_options.resolutionText());
    for (const QString& pdf : pdfPaths)
        m_factory.prepareImages(pdf, dpi, m_options.quality(), static_cast<int>(pages));
}

void GflAxMethod::passEnded()
{
    m_factory.dropPrepared();
}

MethodSet::MethodSet(MethodOptions& options, MessageBoxes& messages, const QString& programFolder)
    : m_launcher(std::make_unique<SystemLauncher>(programFolder))
    , m_renderer(std::make_unique<RenderClient>(programFolder + QStringLiteral("/quarnel-render")))
    , m_automation(std::make_unique<StandInAutomation>(*m_renderer))
    , m_ghostscript(BatchFileMethod::Kind::Ghostscript, options, *m_launcher, messages, programFolder)
    , m_blackWhite(BatchFileMethod::Kind::BlackWhite, options, *m_launcher, messages, programFolder)
    , m_acrobat(*m_automation, messages)
    , m_gflax(*m_automation, options, messages)
{
    m_ghostscript.setPageCounter(m_renderer.get());
}

MethodSet::~MethodSet() = default;

void MethodSet::setRenderAhead(bool on)
{
    m_renderer->setAheadLimit(on ? RenderClient::defaultAheadLimit() : 0);
}

ConversionMethod* MethodSet::implementation(Method method)
{
    switch (method) {
    case Method::Ghostscript:
        return &m_ghostscript;
    case Method::BlackWhite:
        return &m_blackWhite;
    case Method::Acrobat:
        return &m_acrobat;
    case Method::GflAx:
        return &m_gflax;
    case Method::None:
        break;
    }
    return nullptr;
}

void MethodSet::installInto(ConversionPass& pass)
{
    for (const MethodEntry& entry : kMethods)
        pass.setMethod(entry.method, implementation(entry.method));
}

} // namespace quarnel
