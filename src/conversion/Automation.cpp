#include "conversion/Automation.h"

#include "conversion/RenderClient.h"
#include "core/Paths.h"
#include "core/RuntimeError.h"

#include <QFileInfo>
#include <map>

namespace quarnel {

namespace {

// Stops after this many pages in a row fail: the document's page tree is broken, however many pages
// it claims.
constexpr int kGiveUpAfter = 10;

RuntimeError automationError(const QString& what)
{
    return RuntimeError(static_cast<int>(ErrorNumber::AutomationError), QStringLiteral("Automation error: ") + what);
}

class AcroAppStandIn final : public AcroApp
{
public:
    void Exit() override { }
};

class AcroJSStandIn final : public AcroJSObject
{
public:
    AcroJSStandIn(RenderClient& renderer, QString path, int pages)
        : m_renderer(renderer)
        , m_path(std::move(path))
        , m_pages(pages)
    { }

    void SaveAs(const QString& target, const QString& conversion) override
    {
        if (conversion != QStringLiteral("com.adobe.acrobat.jpeg"))
            throw automationError(QStringLiteral("unknown conversion ") + conversion);
        const QString stem = StripExtension(target);
        int failedInRow = 0;
        QString firstError;
        int failures = 0;
        // A few pages in flight at a time, topped up as each comes back: every core stays busy, and a
        // broken page tree is noticed without queueing millions.
        constexpr std::size_t kInFlight = 16;
        std::map<int, int> pageOfJob;
        int next = 0;
        const auto more
            = [&] { return next < m_pages && failedInRow < kGiveUpAfter && !m_renderer.pastDocumentTime(); };
        while (!pageOfJob.empty() || more()) {
            for (; more() && pageOfJob.size() < kInFlight; ++next) {
                const QString name = m_pages == 1 ? target : stem + QStringLiteral("_Page_%1.jpg").arg(next + 1);
                pageOfJob[m_renderer.submit(m_path, next, kAcrobatDpi, kAcrobatQuality, false, name)] = next;
            }
            for (const auto& [job, outcome] : m_renderer.waitSome()) {
                const int page = pageOfJob[job];
                pageOfJob.erase(job);
                if (outcome.ok) {
                    failedInRow = 0;
                    continue;
                }
                ++failedInRow;
                ++failures;
                if (firstError.isEmpty())
                    firstError = QStringLiteral("page %1: %2").arg(page + 1).arg(outcome.error);
            }
        }
        if (failures)
            throw automationError(QStringLiteral("%1 page(s) could not be saved; %2").arg(failures).arg(firstError));
    }

private:
    RenderClient& m_renderer;
    QString m_path;
    int m_pages;
};

class PDDocStandIn final : public AcroPDDoc
{
public:
    explicit PDDocStandIn(RenderClient& renderer)
        : m_renderer(renderer)
    { }

    bool Open(const QString& path) override
    {
        try {
            m_pages = m_renderer.pageCount(path);
        } catch (const RuntimeError&) {
            return false;
        }
        m_path = path;
        return true;
    }
    std::unique_ptr<AcroJSObject> GetJSObject() override
    {
        if (m_path.isEmpty())
            throw RuntimeError(ErrorNumber::ObjectNotSet);
        return std::make_unique<AcroJSStandIn>(m_renderer, m_path, m_pages);
    }
    void Close() override { m_path.clear(); }

private:
    RenderClient& m_renderer;
    QString m_path;
    int m_pages = 0;
};

class GflAxStandIn final : public GflAxObject
{
public:
    explicit GflAxStandIn(RenderClient& renderer)
        : m_renderer(renderer)
    { }

    void setEpsDpi(double dpi) override { m_dpi = dpi > 0 ? dpi : 72; }
    void setPage(qint16 page) override { m_page = page; }
    void setSaveformat(qint16 format) override
    {
        if (format != 1)
            throw automationError(QStringLiteral("only the JPEG format (1) is supported"));
        m_format = format;
    }
    void setSaveJPEGQuality(qint32 quality) override { m_quality = quality; }

    void LoadBitmap(const QString& path) override
    {
        m_loaded = false;
        if (path != m_path) {
            m_path.clear();
            m_pages = m_renderer.pageCount(path);
            m_path = path;
        }
        if (m_page < 1 || m_page > m_pages)
            throw automationError(QStringLiteral("the document has no page %1").arg(m_page));
        m_loaded = true;
        m_loadedPage = m_page;
        m_loadedDpi = m_dpi;
    }

    void saveBitmap(const QString& path) override
    {
        // After a failed load there is no image: nothing is saved, and the load already said why.
        if (!m_loaded)
            return;
        // Rendered while the next page is loaded: the worker's threads keep every core busy.
        m_renderer.submit(m_path, m_loadedPage - 1, m_loadedDpi, m_quality, false, path);
        m_loaded = false;
    }

    void Release() override
    {
        int failures = 0;
        QString firstError;
        for (const auto& [job, outcome] : m_renderer.waitAll()) {
            if (outcome.ok)
                continue;
            ++failures;
            if (firstError.isEmpty())
                firstError = outcome.error;
        }
        if (failures)
            throw automationError(QStringLiteral("%1 page(s) could not be saved; %2").arg(failures).arg(firstError));
    }

private:
    RenderClient& m_renderer;
    QString m_path;
    int m_pages = 0;
    double m_dpi = 72;
    qint16 m_page = 1;
    qint16 m_format = 1;
    qint32 m_quality = 75;
    bool m_loaded = false;
    int m_loadedPage = 0;
    double m_loadedDpi = 72;
};

} // namespace

StandInAutomation::StandInAutomation(RenderClient& renderer)
    : m_renderer(renderer)
{ }

std::unique_ptr<AutomationObject> StandInAutomation::CreateObject(const QString& progId)
{
    if (progId.compare(QStringLiteral("AcroExch.app"), Qt::CaseInsensitive) == 0)
        return std::make_unique<AcroAppStandIn>();
    if (progId.compare(QStringLiteral("AcroExch.PDDoc"), Qt::CaseInsensitive) == 0)
        return std::make_unique<PDDocStandIn>(m_renderer);
    if (progId.compare(QStringLiteral("GflAx.GflAx"), Qt::CaseInsensitive) == 0)
        return std::make_unique<GflAxStandIn>(m_renderer);
    throw RuntimeError(ErrorNumber::CantCreateObject);
}

bool StandInAutomation::takeCutShort()
{
    return m_renderer.takeCutShort();
}

void StandInAutomation::limitDocumentTime(std::optional<std::chrono::milliseconds> limit)
{
    m_renderer.limitDocumentTime(limit);
}

void StandInAutomation::prepareDocument(const QString& pdfPath)
{
    m_renderer.renderAhead(pdfPath, kAcrobatDpi, kAcrobatQuality, false, -1);
}

void StandInAutomation::prepareImages(const QString& pdfPath, double dpi, int quality, int pages)
{
    // The resolution as the imaging object takes it.
    m_renderer.renderAhead(pdfPath, dpi > 0 ? dpi : 72, quality, false, pages);
}

void StandInAutomation::dropPrepared()
{
    m_renderer.forgetAhead();
}

double NumericPrefix(const QString& text)
{
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\n' || text[i] == u'\r'))
            ++i;
    };
    skipBlanks();
    if (i + 1 < text.size() && text[i] == u'&') {
        const QChar kind = text[i + 1].toUpper();
        const int base = kind == u'H' ? 16 : (kind == u'O' ? 8 : 0);
        if (base) {
            qint64 value = 0;
            for (i += 2; i < text.size(); ++i) {
                const int digit = text[i].isDigit()
                    ? text[i].digitValue()
                    : (base == 16 && QStringLiteral("ABCDEF").contains(text[i].toUpper())
                           ? 10 + text[i].toUpper().unicode() - u'A'
                           : -1);
                if (digit < 0 || digit >= base)
                    break;
                value = value * base + digit;
            }
            return static_cast<double>(value);
        }
    }
    // Blanks inside the number are skipped, as the runtime does ("1 2" is 12).
    QString number;
    bool digits = false;
    bool point = false;
    bool exponent = false;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u' ' || c == u'\t')
            continue;
        if (c.isDigit() && c.unicode() < 128) {
            number += c;
            digits = true;
        } else if ((c == u'+' || c == u'-') && (number.isEmpty() || number.endsWith(u'E'))) {
            number += c;
        } else if (c == u'.' && !point && !exponent) {
            number += c;
            point = true;
        } else if ((c == u'e' || c == u'E' || c == u'd' || c == u'D') && digits && !exponent) {
            number += u'E';
            exponent = true;
        } else {
            break;
        }
    }
    while (!number.isEmpty() && !number.back().isDigit() && number.back() != u'.')
        number.chop(1);
    bool ok = false;
    const double value = number.toDouble(&ok);
    return ok ? value : 0.0;
}

} // namespace quarnel
