// quarnel-batch FILE.bat [WORKING-FOLDER]: runs a batch file the way Quarnel's converters need.
#include "core/BatchRunner.h"

#include <QDir>
#include <QFile>
#include <cstdio>

int main(int argc, char* argv[])
{
    // No application object: it needs none, and it runs once for every PDF a converter is given.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QFile::decodeName(argv[i]));
    if (arguments.size() < 2 || arguments.size() > 3) {
        std::fprintf(stderr, "usage: quarnel-batch FILE.bat [WORKING-FOLDER]\n");
        return 2;
    }
    const QString folder = arguments.size() == 3 ? arguments[2] : QDir::currentPath();
    quarnel::BatchRunner runner(folder, [&folder](const QString& program, const QStringList& args) {
        return quarnel::RunProgramAndWait(program, args, folder);
    });
    QString errors;
    const int status = runner.runFile(QDir(folder).absoluteFilePath(arguments[1]), errors);
    if (!errors.isEmpty())
        std::fprintf(stderr, "quarnel-batch: %s", qPrintable(errors));
    return status;
}
