#pragma once

#include "conversion/PassInputs.h"

#include <QString>
#include <chrono>
#include <memory>

namespace quarnel {

class GuardedProcedure;
class AutomationFactory;
class Launcher;
class RenderClient;
class MessageBoxes;

// The page images a converter left (named with "-" and the page number before ".jpg"), in page order,
// when they are pages 1, 2, ... without a gap and each ends as a JPEG file ends; otherwise none.
QStringList WholePagesInOrder(const QString& folder, const QStringList& names);
// The stem the methods name page images after: the file name up to its first dot.
QString PdfStem(const QString& pdfPath);
// The Ghostscript batch file's two lines for this JPEG quality (the file adds the last CR LF).
QString GhostscriptBatchText(int quality);
// Copies a folder with its whole content, replacing files, keeping their permissions.
void CopyFolder(const QString& from, const QString& to);

// The batch-file methods: a working folder in the temporary folder, refreshed from the program's own
// folder of the same name, a batch file run hidden, its page images handed over as stem-001.jpg, ...
class BatchFileMethod final : public ConversionMethod
{
public:
    enum class Kind { Ghostscript, BlackWhite };

    BatchFileMethod(Kind kind, MethodOptions& options, Launcher& launcher, MessageBoxes& messages,
                    QString programFolder);
    bool Convert(const QString& pdfPath, const QString& stagingFolder) override;
    void setTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }
    // Where the method learns how many pages the converter should give (the black/white converter checks
    // that itself); without one, a converter that ended well is taken at its word.
    void setPageCounter(RenderClient* renderer) { m_pageCounter = renderer; }

private:
    int runBatch(GuardedProcedure& guard, const QString& work, const QString& pdfPath, int& expectedPages);
    Kind m_kind;
    MethodOptions& m_options;
    Launcher& m_launcher;
    MessageBoxes& m_messages;
    QString m_programFolder;
    std::chrono::milliseconds m_timeLimit;
    RenderClient* m_pageCounter = nullptr;
};

// The document object's method: the document opened, its pages saved as JPEG by its JavaScript object.
class AcrobatMethod final : public ConversionMethod
{
public:
    AcrobatMethod(AutomationFactory& factory, MessageBoxes& messages);
    bool Convert(const QString& pdfPath, const QString& stagingFolder) override;
    // How long one PDF may take in all (the converters' limit unless set).
    void setTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }
    void prepare(const QStringList& pdfPaths) override;
    void passEnded() override;

private:
    AutomationFactory& m_factory;
    MessageBoxes& m_messages;
    std::chrono::milliseconds m_timeLimit;
};

// The imaging object's method: the number of pages the options give, each loaded and saved as JPEG.
class GflAxMethod final : public ConversionMethod
{
public:
    GflAxMethod(AutomationFactory& factory, MethodOptions& options, MessageBoxes& messages);
    bool Convert(const QString& pdfPath, const QString& stagingFolder) override;
    void setTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }
    void prepare(const QStringList& pdfPaths) override;
    void passEnded() override;

private:
    AutomationFactory& m_factory;
    MethodOptions& m_options;
    MessageBoxes& m_messages;
    std::chrono::milliseconds m_timeLimit;
};

class ConversionPass;

// The four methods as the program uses them, on the real engines: Ghostscript and the black/white
// converter through their batch files, the document and imaging objects through the renderer worker.
class MethodSet final
{
public:
    MethodSet(MethodOptions& options, MessageBoxes& messages, const QString& programFolder);
    ~MethodSet();
    MethodSet(const MethodSet&) = delete;
    MethodSet& operator=(const MethodSet&) = delete;

    void installInto(ConversionPass& pass);
    // Whether the renderer starts on the pages of the next PDFs while the pass is at one (it does).
    void setRenderAhead(bool on);

private:
    ConversionMethod* implementation(Method method);

    std::unique_ptr<Launcher> m_launcher;
    std::unique_ptr<RenderClient> m_renderer;
    std::unique_ptr<AutomationFactory> m_automation;
    BatchFileMethod m_ghostscript;
    BatchFileMethod m_blackWhite;
    AcrobatMethod m_acrobat;
    GflAxMethod m_gflax;
};

} // namespace quarnel
