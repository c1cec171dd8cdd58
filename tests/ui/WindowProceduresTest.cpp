#include "ui/WindowProcedures.h"

#include "scheduler/Scheduler.h"
#include "support/TempTree.h"
#include "ui/CaptionProgressBar.h"

#include <QApplication>
#include <QBuffer>
#include <QLabel>
#include <QPushButton>
#include <QtEndian>
#include <gtest/gtest.h>

using namespace quarnel;
using quarnel::test::TempTree;

TEST(FormatSeconds, TimeOfDayWithWholeDaysDropped)
{
    EXPECT_EQ(FormatSeconds(0), QStringLiteral("00:00:00"));
    EXPECT_EQ(FormatSeconds(30), QStringLiteral("00:00:30"));
    EXPECT_EQ(FormatSeconds(3599), QStringLiteral("00:59:59"));
    EXPECT_EQ(FormatSeconds(86399), QStringLiteral("23:59:59"));
    EXPECT_EQ(FormatSeconds(86400), QStringLiteral("00:00:00"));
    EXPECT_EQ(FormatSeconds(86400 + 3661), QStringLiteral("01:01:01"));
    EXPECT_EQ(FormatSeconds(2147483647), QStringLiteral("03:14:07"));
}

TEST(SetCountdownBar, ValueAboveMaximumKeepsPreviousValue)
{
    CaptionProgressBar bar;
    SetCountdownBar(bar, 100, 40);
    EXPECT_EQ(bar.barMaximum(), 100);
    EXPECT_EQ(bar.barValue(), 40);
    SetCountdownBar(bar, 60, 61);
    EXPECT_EQ(bar.barMaximum(), 60);
    EXPECT_EQ(bar.barValue(), 40);
    SetCountdownBar(bar, 60, 60);
    EXPECT_EQ(bar.barValue(), 60);
}

TEST(CaptionProgressBar, ShowsItsCaptionVerbatim)
{
    CaptionProgressBar bar;
    bar.setCaption(QStringLiteral("Processing: 100%p %v.pdf"));
    EXPECT_EQ(bar.text(), QStringLiteral("Processing: 100%p %v.pdf"));
}

TEST(ApplicationTitle, ShortenedByWholeWordsToForty)
{
    EXPECT_EQ(ShortenTitle(QStringLiteral("Quarnel")), QStringLiteral("Quarnel"));
    EXPECT_EQ(ShortenTitle(QStringLiteral("A very long product name that goes on and on")),
              QStringLiteral("A very long product name that goes on"));
    SetApplicationTitle();
    EXPECT_EQ(ApplicationTitle(), QStringLiteral("Quarnel"));
}

TEST(ApplySkin, StyleSheetAppliedOnlyWhenFilePresent)
{
    TempTree tree;
    QWidget window;
    auto* label = new QLabel(&window);
    auto* button = new QPushButton(&window);
    ApplySkin(tree.path(), &window);
    EXPECT_TRUE(qApp->styleSheet().isEmpty());
    EXPECT_FALSE(window.autoFillBackground());

    tree.write(QStringLiteral("x/o.cjs"), "QPushButton { color: red; }");
    ApplySkin(tree.path(), &window);
    EXPECT_EQ(qApp->styleSheet(), QStringLiteral("QPushButton { color: red; }"));
    EXPECT_TRUE(window.autoFillBackground());
    const QColor face = QApplication::palette().color(QPalette::Button);
    EXPECT_EQ(label->palette().color(QPalette::Window), face);
    EXPECT_NE(button->palette().color(QPalette::Window), QColor(Qt::magenta)); // buttons are left alone
    EXPECT_FALSE(button->testAttribute(Qt::WA_SetPalette));
    qApp->setStyleSheet(QString());
}

namespace {

// A 2x2 cursor file with a 32-bit image whose alpha is given, hot spot (1, 0).
QByteArray cursorFile(bool pngImage)
{
    QByteArray image;
    if (pngImage) {
        QImage png(4, 4, QImage::Format_ARGB32);
        png.fill(Qt::red);
        QBuffer buffer(&image);
        buffer.open(QIODevice::WriteOnly);
        png.save(&buffer, "PNG");
    } else {
        image.resize(40);
        image.fill('\0');
        qToLittleEndian<quint32>(40, image.data());
        qToLittleEndian<quint32>(2, image.data() + 4);
        qToLittleEndian<quint32>(4, image.data() + 8);
        qToLittleEndian<quint16>(1, image.data() + 12);
        qToLittleEndian<quint16>(32, image.data() + 14);
        // Bottom row blue, top row green, all opaque.
        image.append(QByteArray("\xff\x00\x00\xff\xff\x00\x00\xff\x00\xff\x00\xff\x00\xff\x00\xff", 16));
        image.append(QByteArray(8, '\0')); // AND mask
    }
    QByteArray file(6 + 16, '\0');
    qToLittleEndian<quint16>(2, file.data() + 2);
    qToLittleEndian<quint16>(1, file.data() + 4);
    file[6] = 2;
    file[7] = 2;
    qToLittleEndian<quint16>(1, file.data() + 10);
    qToLittleEndian<quint16>(0, file.data() + 12);
    qToLittleEndian<quint32>(static_cast<quint32>(image.size()), file.data() + 14);
    qToLittleEndian<quint32>(22, file.data() + 18);
    return file + image;
}

} // namespace

TEST(LoadCursorFile, ReadsBitmapAndPngCursors)
{
    TempTree tree;
    const auto bitmap = LoadCursorFile(tree.write(QStringLiteral("a.cur"), cursorFile(false)));
    ASSERT_TRUE(bitmap.has_value());
    EXPECT_EQ(bitmap->hotSpot(), QPoint(1, 0));
    const QImage pixels = bitmap->pixmap().toImage();
    EXPECT_EQ(pixels.pixel(0, 0), qRgba(0, 255, 0, 255));
    EXPECT_EQ(pixels.pixel(0, 1), qRgba(0, 0, 255, 255));

    const auto png = LoadCursorFile(tree.write(QStringLiteral("b.cur"), cursorFile(true)));
    ASSERT_TRUE(png.has_value());
    EXPECT_EQ(png->pixmap().width(), 4);
}

TEST(LoadCursorFile, RejectsMissingTruncatedAndForeignFiles)
{
    TempTree tree;
    EXPECT_FALSE(LoadCursorFile(tree.file(QStringLiteral("none.cur"))).has_value());
    EXPECT_FALSE(LoadCursorFile(tree.write(QStringLiteral("t.cur"), cursorFile(false).left(30))).has_value());
    EXPECT_FALSE(LoadCursorFile(tree.write(QStringLiteral("g.cur"), QByteArray(500, '\x7f'))).has_value());
    QByteArray lying = cursorFile(false);
    qToLittleEndian<quint32>(0x7fffffff, lying.data() + 14); // image size beyond the file
    EXPECT_FALSE(LoadCursorFile(tree.write(QStringLiteral("l.cur"), lying)).has_value());
}
