#include "render/MupdfRenderer.h"

#include "render/JpegWriter.h"
#include "samples/SamplePdf.h"
#include "support/TempTree.h"

#include <QFile>
#include <QImage>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <mupdf/fitz.h>
#include <vector>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

QByteArray stream(const QByteArray& dictionary, const QByteArray& content)
{
    return "<< " + dictionary + " /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content
        + "\nendstream";
}

// A page whose text comes in pieces that each run down most of the page: body text; large,
// half-transparent lines that overlap the lines above them; and such lines again inside a knockout group,
// where text drawn in several pieces would knock out the pieces drawn before.
QByteArray pageOfTallText()
{
    QByteArray body = "BT /F1 11 Tf 13 TL 40 770 Td";
    for (int i = 1; i <= 56; ++i)
        body += " (Line " + QByteArray::number(i) + " of a page set as one piece of text, top to bottom.) Tj T*";
    body += " ET\n/Half gs 0.8 0.1 0.1 rg BT /F1 60 Tf 40 TL 300 720 Td";
    for (int i = 0; i < 14; ++i)
        body += " (Overlap) Tj T*";
    body += " ET\n/Knockout Do\n";
    QByteArray knockout = "/Half gs 0.1 0.2 0.8 rg BT /F1 56 Tf 30 TL 40 600 Td";
    for (int i = 0; i < 14; ++i)
        knockout += " (Knockout) Tj T*";
    knockout += " ET";
    const QByteArray fonts = "/Font << /F1 4 0 R >> /ExtGState << /Half 5 0 R >>";
    return samples::AssemblePdf({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << " + fonts
            + " /XObject << /Knockout 6 0 R >> >> /Contents 7 0 R >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /ExtGState /ca 0.6 >>",
        stream("/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Group << /S /Transparency /K true >> "
               "/Resources << "
                   + fonts + " >>",
               knockout),
        stream("", body),
    });
}

// The first page drawn whole, straight from its content into one image, and written by libjpeg-turbo
// as it comes (every block transformed).
bool drawWhole(const std::string& pdf, float dpi, const std::string& target)
{
    fz_context* ctx = fz_new_context(nullptr, nullptr, FZ_STORE_DEFAULT);
    fz_document* document = nullptr;
    fz_pixmap* pixmap = nullptr;
    bool written = false;
    fz_var(document);
    fz_var(pixmap);
    fz_try(ctx)
    {
        fz_register_document_handlers(ctx);
        document = fz_open_document(ctx, pdf.c_str());
        pixmap = fz_new_pixmap_from_page_number(ctx, document, 0, fz_scale(dpi / 72, dpi / 72), fz_device_rgb(ctx), 0);
        render::JpegWriter writer(render::JpegWriter::Blocks::EachTransformed);
        std::string error;
        written = writer.start(target, pixmap->w, pixmap->h, 3, 85, static_cast<int>(dpi), error)
            && writer.writeRows(pixmap->samples, pixmap->h, pixmap->stride, error) && writer.finish(error);
    }
    fz_always(ctx)
    {
        fz_drop_pixmap(ctx, pixmap);
        fz_drop_document(ctx, document);
    }
    fz_catch(ctx) written = false;
    fz_drop_context(ctx);
    return written;
}

// The write calls this process has made so far.
long long writeCalls()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "syscw:")
            return value;
    return -1;
}

} // namespace

// A page's JPEG is hundreds of kilobytes to megabytes: written in a handful of large pieces, not in the
// encoder's 4 KB, and whole.
TEST(JpegWriter, WritesAPageInLargePiecesAndWhole)
{
    TempTree tree;
    const int width = 1500;
    const int height = 1500;
    // Noise compresses poorly: a file of a few megabytes.
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t seed = 12345;
    for (unsigned char& value : pixels) {
        seed = seed * 1664525u + 1013904223u;
        value = static_cast<unsigned char>(seed >> 24);
    }
    const std::string target = tree.file(QStringLiteral("noise.jpg")).toStdString();
    const long long before = writeCalls();
    ASSERT_GE(before, 0);
    render::JpegWriter writer;
    std::string error;
    ASSERT_TRUE(writer.start(target, width, height, 3, 85, 300, error)) << error;
    ASSERT_TRUE(writer.writeRows(pixels.data(), height, width * 3, error)) << error;
    ASSERT_TRUE(writer.finish(error)) << error;
    const long long calls = writeCalls() - before;

    const qint64 size = QFile(QString::fromStdString(target)).size();
    ASSERT_GT(size, 1 << 20);
    EXPECT_LE(calls, size / (128 << 10) + 2) << size << " bytes in " << calls << " writes";
    const QImage image(QString::fromStdString(target));
    EXPECT_EQ(image.width(), width);
    EXPECT_EQ(image.height(), height);
}

// The renderer hands the encoder a band and gets it back cleared for the next band: the file is the one
// the same rows give without the clearing, every row handed over comes back filled, and nothing past the
// last row is touched.
TEST(JpegWriter, FillsTheRowsItHasTakenAndWritesTheSameFile)
{
    TempTree tree;
    const int width = 301;
    const int rows = 77; // not a whole number of the groups the rows are handed over in
    const std::ptrdiff_t stride = width * 3 + 5;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * (rows + 1));
    std::uint32_t seed = 777;
    for (unsigned char& value : pixels) {
        seed = seed * 1664525u + 1013904223u;
        value = static_cast<unsigned char>(seed >> 24);
    }
    const std::vector<unsigned char> original = pixels;
    const auto write = [&](const QString& name, bool fill) {
        const std::string target = tree.file(name).toStdString();
        render::JpegWriter writer;
        std::string error;
        const bool written = writer.start(target, width, rows, 3, 85, 300, error)
            && (fill ? writer.writeRowsAndFill(pixels.data(), rows, stride, 0xff, error)
                     : writer.writeRows(pixels.data(), rows, stride, error))
            && writer.finish(error);
        EXPECT_TRUE(written) << error;
        QFile file(QString::fromStdString(target));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray plain = write(QStringLiteral("plain.jpg"), false);
    ASSERT_EQ(pixels, original);
    const QByteArray filled = write(QStringLiteral("filled.jpg"), true);
    ASSERT_FALSE(plain.isEmpty());
    EXPECT_EQ(filled, plain);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < width * 3; ++x)
            ASSERT_EQ(pixels[static_cast<std::size_t>(y * stride + x)], 0xff) << "row " << y << ", byte " << x;
    const std::size_t end = static_cast<std::size_t>((rows - 1) * stride + width * 3);
    EXPECT_TRUE(std::equal(pixels.begin() + static_cast<std::ptrdiff_t>(end), pixels.end(),
                           original.begin() + static_cast<std::ptrdiff_t>(end)));
}

// Most of a page is paper: the writer reuses a flat block's coefficients rather than transform it again.
// Its files must be the encoder's own to the byte: colour and grey, flat areas of many values (paper,
// tints, in tiles that do not line up with the blocks) beside noise, sizes that are not a whole number of
// blocks, and one writer writing files of two qualities (whose tables differ) in turn.
// The shortcut rests on the library's private layout: a library whose layout moved must be caught by the
// check at start, which then leaves every block to the library.
TEST(JpegWriter, TheShortcutIsUsedOnlyWhereItWasCheckedToGiveTheLibrarysBytes)
{
    EXPECT_TRUE(render::JpegWriter::FlatBlocksAreExact());
    EXPECT_TRUE(render::JpegWriter::CheckFlatBlocks(nullptr));
    EXPECT_FALSE(render::JpegWriter::CheckFlatBlocks([](short(&block)[64]) { block[0] += 1; }));
    EXPECT_FALSE(render::JpegWriter::CheckFlatBlocks([](short(&block)[64]) { block[63] = 5; }));
}

TEST(JpegWriter, WritesTheEncodersOwnBytesWithFlatBlocksReused)
{
    TempTree tree;
    const int width = 613;
    const int height = 389;
    std::uint32_t seed = 4242;
    const auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<unsigned char>(seed >> 24);
    };
    for (const int components : {3, 1}) {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * components, 0xff);
        for (int top = -5; top < height; top += 24) {
            for (int left = -5; left < width; left += 24) {
                const int kind = next() % 3; // paper, a tint, noise
                std::vector<unsigned char> tint(static_cast<std::size_t>(components));
                for (unsigned char& value : tint)
                    value = next();
                for (int y = std::max(top, 0); y < std::min(top + 24, height); ++y)
                    for (int x = std::max(left, 0); x < std::min(left + 24, width); ++x)
                        for (int c = 0; c < components; ++c)
                            pixels[static_cast<std::size_t>((y * width + x) * components + c)]
                                = kind == 0 ? 0xff : (kind == 1 ? tint[static_cast<std::size_t>(c)] : next());
            }
        }
        render::JpegWriter reusing;
        const auto write = [&](render::JpegWriter& writer, const QString& name, int quality) {
            const std::string target = tree.file(name).toStdString();
            std::string error;
            const bool written = writer.start(target, width, height, components, quality, 300, error)
                && writer.writeRows(pixels.data(), height, width * components, error) && writer.finish(error);
            EXPECT_TRUE(written) << error;
            QFile file(QString::fromStdString(target));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        int file = 0;
        for (const int quality : {85, 30, 85}) {
            render::JpegWriter plain(render::JpegWriter::Blocks::EachTransformed);
            const QString name = QStringLiteral("%1-%2-%3").arg(components).arg(quality).arg(++file);
            const QByteArray expected = write(plain, name + QStringLiteral("-plain.jpg"), quality);
            ASSERT_GT(expected.size(), 10000);
            EXPECT_TRUE(write(reusing, name + QStringLiteral("-reusing.jpg"), quality) == expected)
                << components << " components, quality " << quality;
        }
    }
}

// The renderer draws a page band by band from a list of what the page shows, with text kept in runs of
// a few lines, and its writer reuses flat blocks; the image must be the one the page drawn whole and
// encoded block by block gives, to the byte.
// Memory taken for a page goes back when it is done: with a small budget, the same page renders a hundred
// times over, and afterwards the renderer holds no more than its cache of resources.
TEST(MupdfRenderer, MemoryGoesBackToTheBudgetAfterEveryPage)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("tall text.pdf"), pageOfTallText());
    render::MemoryBudget budget(48u << 20);
    render::MupdfRenderer renderer(4u << 20, 48u << 20, &budget);
    int pages = 0;
    std::string error;
    ASSERT_TRUE(renderer.open(pdf.toStdString(), pages, error)) << error;
    for (int round = 0; round < 100; ++round) {
        const render::PageResult result
            = renderer.render({0, 150, 85, false, tree.file(QStringLiteral("page.jpg")).toStdString()});
        ASSERT_TRUE(result.ok) << "round " << round << ": " << result.error;
        QFile::remove(tree.file(QStringLiteral("page.jpg")));
    }
    EXPECT_LE(renderer.bytesHeld(), 8u << 20);
}

TEST(MupdfRenderer, TextDrawnBandByBandIsDrawnAsThePageDrawnWhole)
{
    TempTree tree;
    const QString pdf = tree.write(QStringLiteral("tall text.pdf"), pageOfTallText());
    render::MupdfRenderer renderer;
    int pages = 0;
    std::string error;
    ASSERT_TRUE(renderer.open(pdf.toStdString(), pages, error)) << error;
    ASSERT_EQ(pages, 1);
    // At 300 dpi a letter page is drawn in several bands.
    const std::string banded = tree.file(QStringLiteral("banded.jpg")).toStdString();
    const render::PageResult result = renderer.render({0, 300, 85, false, banded});
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.height, 3300);
    const std::string whole = tree.file(QStringLiteral("whole.jpg")).toStdString();
    ASSERT_TRUE(drawWhole(pdf.toStdString(), 300, whole));

    QFile bandedFile(QString::fromStdString(banded));
    QFile wholeFile(QString::fromStdString(whole));
    ASSERT_TRUE(bandedFile.open(QIODevice::ReadOnly) && wholeFile.open(QIODevice::ReadOnly));
    const QByteArray bandedBytes = bandedFile.readAll();
    EXPECT_GT(bandedBytes.size(), 100000);
    EXPECT_TRUE(bandedBytes == wholeFile.readAll());
}
