#pragma once

#include "core/MethodTable.h"
#include "folders/FolderWatch.h"

#include <QString>

namespace quarnel {

// What the conversion methods read from the options window, at the moment they need it.
class MethodOptions
{
public:
    virtual ~MethodOptions() = default;
    virtual Method selectedMethod() const = 0;
    virtual bool firstPageOnly() const = 0;
    virtual int quality() const = 0;
    virtual QString pagesText() const = 0;
    virtual QString resolutionText() const = 0;
};

// What the pass reads from and shows in the main window. Every value is read when it is needed, so a
// change made while the pass yields takes effect from the next PDF.
class PassInputs
{
public:
    virtual ~PassInputs() = default;
    virtual int folderRowCount() const = 0;
    virtual QString folderRow(int index) const = 0; // from 0
    virtual bool saveToFolder() const = 0; // "Save results to this folder:"
    virtual bool saveBesideOriginal() const = 0; // "Save results in folder of original file"
    virtual QString outputFolder() const = 0;
    virtual void setBusy(bool busy) = 0;
    virtual void setProgress(int value, const QString& caption) = 0;
    // Settings the window does not show: the names never examined, and whether skipped PDFs are logged.
    virtual IgnoreList ignoreList() const = 0;
    virtual bool logSkipped() const = 0;
    // Adds rows for the subfolders made since their folder was added with its subfolders.
    virtual void addNewSubfolders() = 0;
};

// One conversion method: converts a PDF into page images left in the staging folder.
class ConversionMethod
{
public:
    virtual ~ConversionMethod() = default;
    // True (the method's success flag) only when it left at least one page image.
    virtual bool Convert(const QString& pdfPath, const QString& stagingFolder) = 0;
    // The PDFs the pass is about to convert, the next one first: a method may start on them early, as
    // long as what it then produces is exactly what it would have produced without.
    virtual void prepare(const QStringList& pdfPaths) { Q_UNUSED(pdfPaths); }
    // The pass has ended: whatever was started early and not used is dropped.
    virtual void passEnded() { }
};

} // namespace quarnel
