#include "samples/SamplePdf.h"

#include <QList>
#include <algorithm>
#include <zlib.h>

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

QByteArray num(double value)
{
    return QByteArray::number(value, 'f', 1);
}

QByteArray pageContent(const SamplePage& page, int number)
{
    const double w = page.size.width();
    const double h = page.size.height();
    // Margins, band and type scale with the page, so small cards look like large pages.
    const double margin = std::min({36.0, w / 10, h / 10});
    const double band = std::min(60.0, h / 6);
    const double title = std::min(24.0, band / 2.5);
    const double text = std::min(12.0, h / 20);
    const double big = std::min(96.0, h / 3);
    QByteArray content;
    const double r = (number * 37 % 100) / 100.0;
    const double g = (number * 61 % 100) / 100.0;
    content += num(r) + ' ' + num(g) + " 0.8 rg\n";
    content += num(margin) + ' ' + num(h - margin - band) + ' ' + num(w - 2 * margin) + ' ' + num(band) + " re f\n";
    content += "0 0 0 RG 1.5 w " + num(margin) + ' ' + num(margin) + ' ' + num(w - 2 * margin) + ' '
        + num(h - 3 * margin - band) + " re S\n";
    content += "BT /F1 " + num(title) + " Tf 0 0 0 rg " + num(margin * 1.4) + ' ' + num(h - margin - band * 0.65)
        + " Td (" + escapePdfText(page.title) + ") Tj ET\n";
    double y = h - 2 * margin - band - text;
    for (const QString& line : page.lines) {
        content += "BT /F1 " + num(text) + " Tf " + num(margin * 1.4) + ' ' + num(y) + " Td (" + escapePdfText(line)
            + ") Tj ET\n";
        y -= text * 1.5;
    }
    content += "BT /F1 " + num(big) + " Tf 0.85 0.1 0.1 rg " + num(w / 2 - big / 3) + ' ' + num(margin * 1.5) + " Td ("
        + QByteArray::number(number) + ") Tj ET\n";
    return content;
}

} // namespace

// Lays out numbered objects and the cross-reference table around them.
QByteArray AssemblePdf(const QList<QByteArray>& objects)
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
    return AssemblePdf(objects);
}

QByteArray MakePdfClaimingPages(long long claimed)
{
    QByteArray pdf = MakeSamplePdf({SamplePage {{612, 792}, QStringLiteral("One real page"), {}}});
    return pdf.replace("/Count 1 ", "/Count " + QByteArray::number(claimed) + ' ');
}

namespace {

// zlib data that inflates to `repeats` copies of the pattern, made without ever holding them: one
// compressed chunk of copies, repeated, each ending on a full flush so that the next starts afresh.
QByteArray deflatedRepeats(const QByteArray& pattern, qint64 repeats)
{
    const qint64 perChunk = std::max<qint64>(1, (1 << 20) / pattern.size());
    const QByteArray chunk = pattern.repeated(perChunk);
    z_stream stream {};
    deflateInit(&stream, 9);
    const auto feed = [&](qint64 copies, int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(chunk.constData()));
        stream.avail_in = static_cast<uInt>(copies * pattern.size());
        QByteArray piece;
        char buffer[16384];
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, flush);
            piece.append(buffer, static_cast<qsizetype>(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
        return piece;
    };
    // The first chunk carries the zlib header; the second is the one that repeats.
    const qint64 first = std::min(repeats, perChunk);
    QByteArray out = feed(first, Z_FULL_FLUSH);
    qint64 left = repeats - first;
    const uLong chunkSum = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(chunk.constData()),
                                   static_cast<uInt>(chunk.size()));
    uLong sum = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(chunk.constData()),
                        static_cast<uInt>(first * pattern.size()));
    if (left >= perChunk) {
        const QByteArray repeated = feed(perChunk, Z_FULL_FLUSH);
        for (; left >= perChunk; left -= perChunk) {
            out += repeated;
            sum = adler32_combine(sum, chunkSum, static_cast<z_off_t>(chunk.size()));
        }
    }
    out += feed(left, Z_FINISH);
    deflateEnd(&stream);
    sum = adler32_combine(sum,
                          adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(chunk.constData()),
                                  static_cast<uInt>(left * pattern.size())),
                          static_cast<z_off_t>(left * pattern.size()));
    // The checksum over everything (deflate's own covers only what it was given).
    out.chop(4);
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((sum >> shift) & 0xff);
    return out;
}

} // namespace

QByteArray MakeDecompressionBomb(int pages, qint64 inflatedBytes)
{
    // Each page's drawing is the same stream: tiny squares, one after another, a few kilobytes of Flate
    // compressed twice that inflate to the given size.
    const QByteArray square = "1 1 1 1 re f\n";
    const QByteArray data = qCompress(deflatedRepeats(square, inflatedBytes / square.size()), 9).mid(4);
    QList<QByteArray> objects;
    objects.append("<< /Type /Catalog /Pages 2 0 R >>");
    QByteArray kids;
    for (int i = 0; i < pages; ++i)
        kids += QByteArray::number(4 + i) + " 0 R ";
    objects.append("<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pages) + " >>");
    objects.append("<< /Filter [/FlateDecode /FlateDecode] /Length " + QByteArray::number(data.size()) + " >>\nstream\n"
                   + data + "\nendstream");
    for (int i = 0; i < pages; ++i)
        objects.append("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 3 0 R >>");
    return AssemblePdf(objects);
}

} // namespace quarnel::samples
