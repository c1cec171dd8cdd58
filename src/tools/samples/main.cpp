// quarnel-make-samples FOLDER: writes the sample PDFs that the "Load Sample/Example Folders" button
// offers, made by us at build time.
#include "tools/samples/SamplePdf.h"

#include <QDir>
#include <QFile>
#include <cstdio>

using namespace quarnel::samples;

namespace {

bool write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quarnel-make-samples FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    const QSizeF letter(612, 792);
    const QSizeF a4(595.3, 841.9);
    const QSizeF a5Landscape(595.3, 419.5);
    const QSizeF businessCard(252, 144);

    const bool ok = write(folder + QStringLiteral("/One page letter.pdf"),
                          MakeSamplePdf({{letter,
                                          QStringLiteral("A one-page letter"),
                                          {QStringLiteral("Quarnel turns this page into one JPEG image,"),
                                           QStringLiteral("named after the PDF: One page letter.jpg.")}}}))
        && write(folder + QStringLiteral("/Quarterly report.pdf"),
                 MakeSamplePdf({{a4, QStringLiteral("Quarterly report"), {QStringLiteral("Page one of three.")}},
                                {a4, QStringLiteral("Figures"), {QStringLiteral("Page two of three.")}},
                                {a4, QStringLiteral("Outlook"), {QStringLiteral("Page three of three.")}}}))
        && write(folder + QStringLiteral("/Mixed sizes.pdf"),
                 MakeSamplePdf({{letter, QStringLiteral("Letter, portrait"), {QStringLiteral("8.5 x 11 inches")}},
                                {a5Landscape, QStringLiteral("A5, landscape"), {QStringLiteral("210 x 148 mm")}},
                                {businessCard, QStringLiteral("Card"), {QStringLiteral("3.5 x 2 inches")}}}));
    if (!ok) {
        std::fprintf(stderr, "quarnel-make-samples: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
