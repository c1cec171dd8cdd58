#include "tools/samples/SamplePdf.h"

#include <QList>

namespace quarnel::samples {

namespace {

QByteArray escapePdfText(const QString& text)
{
    QByteArray out;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'(' || u == u')' || u == u'\\')
            out += '\\';
        out += u < 128 ? static_cast<char>(u) : '?';
    }
    return out;
}

QByteArray pageContent(const SamplePage& page, int number)
{
    const double w = page.size.width();
    const double h = page.size.height();
    QByteArray content;
    // A coloured band, a frame and a large page number, so pages tell themselves apart in images.
    const double r = (number * 37 % 100) / 100.0;
    const double g = (number * 61 % 100) / 100.0;
    content += QByteArray::number(r, 'f', 2) + ' ' + QByteArray::number(g, 'f', 2) + " 0.8 rg\n";
    content += "36 " + QByteArray::number(h - 96, 'f', 1) + ' ' + QByteArray::number(w - 72, 'f', 1) + " 60 re f\n";
    content += "0 0 0 RG 2 w 36 36 " + QByteArray::number(w - 72, 'f', 1) + ' ' + QByteArray::number(h - 144, 'f', 1)
        + " re S\n";
    content += "BT /F1 24 Tf 0 0 0 rg 48 " + QByteArray::number(h - 80, 'f', 1) + " Td (" + escapePdfText(page.title)
        + ") Tj ET\n";
    double y = h - 140;
    for (const QString& line : page.lines) {
        content += "BT /F1 12 Tf 48 " + QByteArray::number(y, 'f', 1) + " Td (" + escapePdfText(line) + ") Tj ET\n";
        y -= 18;
    }
    content += "BT /F1 96 Tf 0.85 0.1 0.1 rg " + QByteArray::number(w / 2 - 30, 'f', 1) + " 80 Td ("
        + QByteArray::number(number) + ") Tj ET\n";
    return content;
}

// Lays out numbered objects and the cross-reference table around them.
QByteArray assemble(const QList<QByteArray>& objects)
{
    QByteArray pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    QList<qsizetype> offsets;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets.append(pdf.size());
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : offsets)
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
        + QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

} // namespace

QByteArray MakeSamplePdf(const std::vector<SamplePage>& pages)
{
    // 1 catalog, 2 page tree, 3 font, then a page and its content for each page.
    QList<QByteArray> objects;
    objects.append("<< /Type /Catalog /Pages 2 0 R >>");
    QByteArray kids;
    for (std::size_t i = 0; i < pages.size(); ++i)
        kids += QByteArray::number(4 + 2 * static_cast<int>(i)) + " 0 R ";
    objects.append("<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pages.size()) + " >>");
    objects.append("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const SamplePage& page = pages[i];
        const int pageObject = 4 + 2 * static_cast<int>(i);
        objects.append("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + QByteArray::number(page.size.width(), 'f', 1)
                       + ' ' + QByteArray::number(page.size.height(), 'f', 1)
                       + "] /Resources << /Font << /F1 3 0 R >> >> /Contents " + QByteArray::number(pageObject + 1)
                       + " 0 R >>");
        const QByteArray content = pageContent(page, static_cast<int>(i) + 1);
        objects.append("<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "endstream");
    }
    return assemble(objects);
}

QByteArray MakePdfClaimingPages(long long claimed)
{
    QByteArray pdf = MakeSamplePdf({SamplePage {{612, 792}, QStringLiteral("One real page"), {}}});
    return pdf.replace("/Count 1 ", "/Count " + QByteArray::number(claimed) + ' ');
}

} // namespace quarnel::samples
