#include "ui/WindowProcedures.h"

#include "core/RuntimeError.h"
#include "ui/CaptionProgressBar.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QScreen>
#include <QtEndian>
#include <cstdlib>

namespace quarnel {

namespace {

QString& applicationTitleStore()
{
    static QString title = QString::fromLatin1(kProductName);
    return title;
}

// The control's background becomes the button face. Only the window fills its background: controls
// filling theirs would show as patches on the frames the style shades.
void paintButtonFace(QWidget* widget, bool fill)
{
    QPalette palette = widget->palette();
    palette.setBrush(QPalette::Window, QApplication::palette().brush(QPalette::Button));
    widget->setPalette(palette);
    widget->setAutoFillBackground(fill);
}

} // namespace

QString ApplicationTitle()
{
    return applicationTitleStore();
}

QString ShortenTitle(const QString& name)
{
    QString title = name;
    while (title.size() > 40) {
        const qsizetype blank = title.lastIndexOf(u' ');
        if (blank < 0) {
            title.truncate(40);
            break;
        }
        title.truncate(blank);
    }
    return title;
}

void SetApplicationTitle()
{
    // Kept by the program, not given to Qt as the display name: Qt would append that to every window
    // title ("Application Error — Quarnel"), and the titles must read exactly as they are set.
    applicationTitleStore() = ShortenTitle(QString::fromLatin1(kProductName));
}

void ApplySystemColours(QWidget* window)
{
    paintButtonFace(window, true);
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (qobject_cast<QRadioButton*>(child) || qobject_cast<QCheckBox*>(child) || qobject_cast<QGroupBox*>(child)
            || qobject_cast<QLabel*>(child))
            paintButtonFace(child, false);
    }
}

void ApplySkin(const QString& programFolder, QWidget* window)
{
    const QString skinPath = programFolder + QStringLiteral("/x/o.cjs");
    const QFileInfo info(skinPath);
    if (!info.isFile() || info.fileName().startsWith(u'.'))
        return;
    ApplySystemColours(window);
    QFile file(skinPath);
    if (!file.open(QIODevice::ReadOnly))
        throw RuntimeError(file.error() == QFileDevice::PermissionsError ? ErrorNumber::PermissionDenied
                                                                         : ErrorNumber::PathFileAccessError);
    const QString sheet = QString::fromUtf8(file.readAll());
    // The application-wide sheet reaches the options window too, whenever it is created.
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()))
        app->setStyleSheet(sheet);
    else
        window->setStyleSheet(sheet);
}

QFont WindowFont(qreal points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

void SetCountdownBar(CaptionProgressBar& bar, qint32 maximum, qint32 value)
{
    bar.setBarMaximum(maximum);
    if (value <= maximum)
        bar.setBarValue(value);
}

namespace {

quint16 u16(const QByteArray& data, qsizetype at)
{
    return qFromLittleEndian<quint16>(data.constData() + at);
}

quint32 u32(const QByteArray& data, qsizetype at)
{
    return qFromLittleEndian<quint32>(data.constData() + at);
}

// Decodes a device-independent bitmap as stored in icon and cursor files: the colour rows of half the
// stated height, bottom-up, followed by the 1-bit transparency mask.
std::optional<QImage> decodeIconBitmap(const QByteArray& data)
{
    if (data.size() < 40 || u32(data, 0) < 40)
        return std::nullopt;
    const qint32 width = static_cast<qint32>(u32(data, 4));
    const qint32 height = static_cast<qint32>(u32(data, 8)) / 2;
    const int bits = u16(data, 14);
    const quint32 compression = u32(data, 16);
    quint32 colours = u32(data, 32);
    if (width <= 0 || height <= 0 || width > 256 || height > 256 || compression != 0)
        return std::nullopt;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return std::nullopt;
    if (bits <= 8 && (colours == 0 || colours > (1u << bits)))
        colours = 1u << bits;
    if (bits > 8)
        colours = 0;
    const qsizetype paletteAt = u32(data, 0);
    const qsizetype pixelsAt = paletteAt + 4 * static_cast<qsizetype>(colours);
    const qsizetype rowBytes = ((static_cast<qsizetype>(width) * bits + 31) / 32) * 4;
    const qsizetype maskRowBytes = ((static_cast<qsizetype>(width) + 31) / 32) * 4;
    const qsizetype maskAt = pixelsAt + rowBytes * height;
    if (maskAt > data.size())
        return std::nullopt;
    const bool haveMask = maskAt + maskRowBytes * height <= data.size();
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());

    QImage image(width, height, QImage::Format_ARGB32);
    bool anyAlpha = false;
    for (qint32 y = 0; y < height; ++y) {
        const uchar* row = bytes + pixelsAt + rowBytes * (height - 1 - y);
        for (qint32 x = 0; x < width; ++x) {
            QRgb pixel = 0;
            if (bits == 32) {
                pixel = qRgba(row[4 * x + 2], row[4 * x + 1], row[4 * x], row[4 * x + 3]);
                anyAlpha = anyAlpha || row[4 * x + 3] != 0;
            } else if (bits == 24) {
                pixel = qRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
            } else {
                const int perByte = 8 / bits;
                const int shift = 8 - bits * (1 + x % perByte);
                const quint32 index = (row[x / perByte] >> shift) & ((1u << bits) - 1);
                if (index >= colours)
                    return std::nullopt;
                const uchar* entry = bytes + paletteAt + 4 * index;
                pixel = qRgb(entry[2], entry[1], entry[0]);
            }
            image.setPixel(x, y, pixel);
        }
    }
    if (bits == 32 && anyAlpha)
        return image;
    for (qint32 y = 0; y < height; ++y) {
        const uchar* mask = haveMask ? bytes + maskAt + maskRowBytes * (height - 1 - y) : nullptr;
        for (qint32 x = 0; x < width; ++x) {
            const bool transparent = mask && ((mask[x / 8] >> (7 - x % 8)) & 1);
            const QRgb pixel = image.pixel(x, y);
            image.setPixel(x, y, transparent ? qRgba(0, 0, 0, 0) : (pixel | 0xff000000u));
        }
    }
    return image;
}

} // namespace

void CentreOnScreen(QWidget* window)
{
    if (const QScreen* screen = QApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - window->rect().center());
}

QCursor LoadPointerPicture(const QString& path)
{
    const std::optional<QCursor> cursor = LoadCursorFile(path);
    if (!cursor)
        throw RuntimeError(481, QStringLiteral("Invalid picture"));
    return *cursor;
}

std::optional<QCursor> LoadCursorFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024)
        return std::nullopt;
    const QByteArray data = file.readAll();
    if (data.size() < 6 + 16 || u16(data, 0) != 0 || u16(data, 2) != 2 || u16(data, 4) == 0)
        return std::nullopt;
    const int hotX = u16(data, 6 + 4);
    const int hotY = u16(data, 6 + 6);
    const quint32 size = u32(data, 6 + 8);
    const quint32 offset = u32(data, 6 + 12);
    if (offset >= static_cast<quint32>(data.size()) || size > static_cast<quint32>(data.size()) - offset)
        return std::nullopt;
    const QByteArray imageData = data.mid(offset, size);
    std::optional<QImage> image;
    if (imageData.startsWith("\x89PNG")) {
        QImage png;
        if (png.loadFromData(imageData, "PNG"))
            image = png;
    } else {
        image = decodeIconBitmap(imageData);
    }
    if (!image || image->isNull())
        return std::nullopt;
    return QCursor(QPixmap::fromImage(*image), std::min(hotX, image->width() - 1), std::min(hotY, image->height() - 1));
}

} // namespace quarnel
