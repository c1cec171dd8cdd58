#pragma once

#include <QString>
#include <chrono>
#include <memory>
#include <optional>

namespace quarnel {

class RenderClient;

// An object created by its ProgID, as the document and imaging components are.
class AutomationObject
{
public:
    virtual ~AutomationObject() = default;
    // Lets go of the object; work it still has in hand is finished first, and its failure raised.
    virtual void Release() { }
};

// "AcroExch.app"
class AcroApp : public AutomationObject
{
public:
    virtual void Exit() = 0;
};

// The document's JavaScript object.
class AcroJSObject
{
public:
    virtual ~AcroJSObject() = default;
    // With "com.adobe.acrobat.jpeg": one JPEG per page, the target itself for a one-page document,
    // else the target's stem + "_Page_" + n + ".jpg" beside it.
    virtual void SaveAs(const QString& target, const QString& conversion) = 0;
};

// "AcroExch.PDDoc"
class AcroPDDoc : public AutomationObject
{
public:
    virtual bool Open(const QString& path) = 0;
    virtual std::unique_ptr<AcroJSObject> GetJSObject() = 0;
    virtual void Close() = 0;
};

// "GflAx.GflAx"
class GflAxObject : public AutomationObject
{
public:
    virtual void setEpsDpi(double dpi) = 0;
    virtual void setPage(qint16 page) = 0;
    virtual void LoadBitmap(const QString& path) = 0;
    virtual void setSaveformat(qint16 format) = 0;
    virtual void setSaveJPEGQuality(qint32 quality) = 0;
    virtual void saveBitmap(const QString& path) = 0;
};

// Creates objects by ProgID; an unknown one is error 429.
class AutomationFactory
{
public:
    virtual ~AutomationFactory() = default;
    virtual std::unique_ptr<AutomationObject> CreateObject(const QString& progId) = 0;
    // True when work of the objects since the last call was cut short rather than refused by the
    // document (the engine died or was ended, a page ran out of time), so what they wrote is incomplete.
    // Clears the mark.
    virtual bool takeCutShort() { return false; }
    // The document object will soon be asked to save every page of this PDF.
    virtual void prepareDocument(const QString& pdfPath) { Q_UNUSED(pdfPath); }
    // The imaging object will soon be asked to load the first pages of this PDF with these settings.
    virtual void prepareImages(const QString& pdfPath, double dpi, int quality, int pages)
    {
        Q_UNUSED(pdfPath);
        Q_UNUSED(dpi);
        Q_UNUSED(quality);
        Q_UNUSED(pages);
    }
    // What was prepared and not used is not needed any more.
    virtual void dropPrepared() { }
    // The objects' work on one PDF starts now and may take at most this long (none: it is over); past
    // it, what is still being done is cut short.
    virtual void limitDocumentTime(std::optional<std::chrono::milliseconds> limit) { Q_UNUSED(limit); }
};

// The program's own document and imaging objects, rendering through the renderer worker.
class StandInAutomation final : public AutomationFactory
{
public:
    explicit StandInAutomation(RenderClient& renderer);
    std::unique_ptr<AutomationObject> CreateObject(const QString& progId) override;
    bool takeCutShort() override;
    void limitDocumentTime(std::optional<std::chrono::milliseconds> limit) override;
    void prepareDocument(const QString& pdfPath) override;
    void prepareImages(const QString& pdfPath, double dpi, int quality, int pages) override;
    void dropPrepared() override;

private:
    RenderClient& m_renderer;
};

// The resolution and quality of the document object's JPEG pages.
inline constexpr double kAcrobatDpi = 300;
inline constexpr int kAcrobatQuality = 85;

// The numeric value at the start of a text, as the classic runtime reads it: blanks skipped, a sign,
// digits with one decimal point, an exponent; "&H" and "&O" prefixes; nothing numeric gives 0.
double NumericPrefix(const QString& text);

} // namespace quarnel
