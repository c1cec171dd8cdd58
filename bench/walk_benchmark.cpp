// Walks a tree of about 20,000 folders the way "Add Folders/Subfolders To List" does, and prints the
// walk's time and the longest time the event loop went without a turn (target: under 100 ms).
#include "BenchSupport.h"
#include "EventLoopGaps.h"
#include "core/FileProcedures.h"
#include "core/Services.h"
#include "folders/AddFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/stat.h>

namespace {

int buildTree(const QString& root, int top, int middle, int leaves)
{
    int made = 0;
    for (int a = 0; a < top; ++a) {
        const QByteArray first = QFile::encodeName(root + QStringLiteral("/dept %1").arg(a));
        made += ::mkdir(first.constData(), 0755) == 0;
        for (int b = 0; b < middle; ++b) {
            const QByteArray second = first + "/year " + QByteArray::number(2000 + b);
            made += ::mkdir(second.constData(), 0755) == 0;
            for (int c = 0; c < leaves; ++c)
                made += ::mkdir((second + "/case-" + QByteArray::number(c)).constData(), 0755) == 0;
        }
    }
    return made;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QElapsedTimer clock;
    clock.start();
    const int made = buildTree(dir.path(), 20, 20, 49);
    std::printf("tree: %d folders built in %lld ms\n", made + 1, static_cast<long long>(clock.elapsed()));

    PrintedBoxes messages;
    QStringList folders {dir.path() + u'/'};
    EventLoopGaps gaps;
    gaps.start();
    clock.restart();
    quarnel::GetSubDirectories2016(folders, true, messages, quarnel::YieldToEvents);
    const qint64 walkMs = clock.elapsed();
    gaps.stop();

    std::printf("walk: %lld folders listed in %lld ms\n", static_cast<long long>(folders.size()),
                static_cast<long long>(walkMs));
    std::printf("event loop: %lld turns, longest gap %lld ms (target < 100 ms): %s\n",
                static_cast<long long>(gaps.turns()), static_cast<long long>(gaps.longestMs()),
                gaps.longestMs() < 100 ? "met" : "NOT met");
    return folders.size() == made + 1 ? 0 : 1;
}
