// quarnel-make-samples FOLDER: writes the sample PDFs that the "Load Sample/Example Folders" button
// offers, made by us at build time.
#include "samples/SamplePdf.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <cstdio>

using namespace quarnel::samples;

namespace {

// Draws the pages with Qt's own PDF writer: a coloured band with the title, the lines of text, a frame
// and the page number in large red figures, scaled to the page so that a card looks like a page.
bool write(const QString& path, const std::vector<SamplePage>& pages)
{
    QPdfWriter writer(path);
    writer.setResolution(72); // one unit is one point
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setPageSize(QPageSize(pages.front().size, QPageSize::Point));
    writer.setCreator(QStringLiteral("Quarnel"));
    QPainter painter;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const SamplePage& page = pages[i];
        if (i > 0) {
            writer.setPageSize(QPageSize(page.size, QPageSize::Point));
            writer.newPage();
        } else if (!painter.begin(&writer)) {
            return false;
        }
        const int number = static_cast<int>(i) + 1;
        const qreal w = page.size.width();
        const qreal h = page.size.height();
        const qreal margin = std::min({36.0, w / 10, h / 10});
        const qreal band = std::min(60.0, h / 6);
        painter.fillRect(QRectF(margin, margin, w - 2 * margin, band),
                         QColor::fromRgbF((number * 37 % 100) / 100.0, (number * 61 % 100) / 100.0, 0.8));
        painter.setPen(QPen(Qt::black, 1.5));
        painter.drawRect(QRectF(margin, margin + band + margin, w - 2 * margin, h - 3 * margin - band));
        QFont title(QStringLiteral("Helvetica"));
        title.setPointSizeF(std::min(24.0, band / 2.5));
        painter.setFont(title);
        painter.drawText(QRectF(margin * 1.4, margin, w - 3 * margin, band), Qt::AlignVCenter, page.title);
        QFont text(QStringLiteral("Helvetica"));
        text.setPointSizeF(std::min(12.0, h / 20));
        painter.setFont(text);
        qreal y = 2 * margin + band + text.pointSizeF() * 1.5;
        for (const QString& line : page.lines) {
            painter.drawText(QPointF(margin * 1.4, y), line);
            y += text.pointSizeF() * 1.5;
        }
        QFont big(QStringLiteral("Helvetica"));
        big.setPointSizeF(std::min(96.0, h / 3));
        big.setBold(true);
        painter.setFont(big);
        painter.setPen(QColor::fromRgbF(0.85, 0.1, 0.1));
        painter.drawText(QRectF(0, h / 2, w, h / 2 - margin * 1.5), Qt::AlignHCenter | Qt::AlignBottom,
                         QString::number(number));
    }
    return painter.end();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quarnel-make-samples FOLDER\n");
        return 2;
    }
    // Fonts are needed, a display is not.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    const QSizeF letter(612, 792);
    const QSizeF a4(595.3, 841.9);
    const QSizeF a5Landscape(595.3, 419.5);
    const QSizeF businessCard(252, 144);

    const bool ok = write(folder + QStringLiteral("/One page letter.pdf"),
                          std::vector<SamplePage>({{letter,
                                                    QStringLiteral("A one-page letter"),
                                                    {QStringLiteral("Quarnel turns this page into one JPEG image,"),
                                                     QStringLiteral("named after the PDF: One page letter.jpg.")}}}))
        && write(folder + QStringLiteral("/Quarterly report.pdf"),
                 std::vector<SamplePage>(
                     {{a4, QStringLiteral("Quarterly report"), {QStringLiteral("Page one of three.")}},
                      {a4, QStringLiteral("Figures"), {QStringLiteral("Page two of three.")}},
                      {a4, QStringLiteral("Outlook"), {QStringLiteral("Page three of three.")}}}))
        && write(folder + QStringLiteral("/Mixed sizes.pdf"),
                 std::vector<SamplePage>(
                     {{letter, QStringLiteral("Letter, portrait"), {QStringLiteral("8.5 x 11 inches")}},
                      {a5Landscape, QStringLiteral("A5, landscape"), {QStringLiteral("210 x 148 mm")}},
                      {businessCard, QStringLiteral("Card"), {QStringLiteral("3.5 x 2 inches")}}}));
    if (!ok) {
        std::fprintf(stderr, "quarnel-make-samples: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
