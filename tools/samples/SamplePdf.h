#pragma once

#include <QByteArray>
#include <QList>
#include <QSizeF>
#include <QString>
#include <QStringList>
#include <vector>

namespace quarnel::samples {

// A page of a generated PDF: its size in points, a title and a few lines of text, and shapes that make
// the page easy to recognise in its image.
struct SamplePage
{
    QSizeF size {612, 792};
    QString title;
    QStringList lines;
};

// A PDF of these objects, numbered from 1 in their order; the first is the catalog.
QByteArray AssemblePdf(const QList<QByteArray>& objects);

// A small, valid PDF with these pages (Helvetica text, coloured shapes).
QByteArray MakeSamplePdf(const std::vector<SamplePage>& pages);

// A PDF whose page tree claims this many pages while holding one.
QByteArray MakePdfClaimingPages(long long claimed);

// A decompression bomb: pages whose drawing is a few kilobytes of Flate, compressed twice, that
// inflate to this many bytes of drawing operations.
QByteArray MakeDecompressionBomb(int pages, qint64 inflatedBytes);

} // namespace quarnel::samples
