// quarnel-make-icons FOLDER: writes the blue "V" as PNG files at the icon theme's sizes.
#include "ui/ApplicationIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quarnel-make-icons FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString dir = folder + QStringLiteral("/%1x%1/apps").arg(size);
        QDir().mkpath(dir);
        if (!quarnel::ApplicationIconImage(size).save(dir + QStringLiteral("/quarnel.png")))
            return 1;
    }
    return 0;
}
