#include "conversion/ConvertedIndex.h"

#include "conversion/ConversionLog.h"
#include "support/Fakes.h"
#include "support/TempTree.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace quarnel;
using namespace quarnel::test;

namespace {

QByteArray convertedLine(const QDateTime& when, const QString& path, const char* end = "\r\n")
{
    return LogLine::converted(LogDateTimeText(when, QLocale::system()), path).toUtf8() + end;
}

void append(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(bytes);
}

const QDateTime kMorning(QDate(2026, 12, 7), QTime(9, 0, 0));

} // namespace

TEST(ConvertedIndex, ExactPathWithLetterCase)
{
    TempTree tree;
    const QString log = tree.write(QStringLiteral("DEV2IVI.log"), "Started x\r\n");
    append(log, convertedLine(kMorning, QStringLiteral("/in/a.pdf.pdf")));
    append(log, convertedLine(kMorning, QStringLiteral("/in/B.pdf")));
    append(log,
           LogLine::skipped(LogDateTimeText(kMorning, QLocale::system()), QStringLiteral("/in/c.pdf")).toUtf8()
               + "\r\n");
    append(log,
           LogLine::failed(LogDateTimeText(kMorning, QLocale::system()), QStringLiteral("/in/d.pdf")).toUtf8()
               + "\r\n");
    ConvertedIndex index(log);
    EXPECT_FALSE(index.newestConverted(QStringLiteral("/in/a.pdf")).isValid());
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/a.pdf.pdf")), kMorning);
    EXPECT_FALSE(index.newestConverted(QStringLiteral("/in/b.pdf")).isValid());
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/B.pdf")), kMorning);
    EXPECT_FALSE(index.newestConverted(QStringLiteral("/in/c.pdf")).isValid());
    EXPECT_FALSE(index.newestConverted(QStringLiteral("/in/d.pdf")).isValid());
}

TEST(ConvertedIndex, NewestReadableLineWinsAndUnreadableDatesDoNotCount)
{
    TempTree tree;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    append(log, convertedLine(kMorning.addDays(1), QStringLiteral("/in/a.pdf")));
    append(log, convertedLine(kMorning, QStringLiteral("/in/a.pdf")));
    append(log, "someday : Converted /in/z.pdf\r\n");
    append(log, " : Converted /in/y.pdf\r\n");
    ConvertedIndex index(log);
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/a.pdf")), kMorning.addDays(1));
    EXPECT_FALSE(index.newestConverted(QStringLiteral("/in/z.pdf")).isValid());
    EXPECT_FALSE(index.newestConverted(QStringLiteral("/in/y.pdf")).isValid());
    // A path holding the mark itself is taken whole.
    append(log, convertedLine(kMorning, QStringLiteral("/in/x : Converted y.pdf")));
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/x : Converted y.pdf")), kMorning);
}

TEST(ConvertedIndex, OddLogsAreReadLikeAFullRead)
{
    TempTree tree;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    append(log, convertedLine(kMorning, QStringLiteral("/cr/only.pdf"), "\r"));
    append(log, QByteArray(1024 * 1024, 'x') + "\n");
    append(log, "\xff\xfe invalid utf-8 \x80 : Converted \xc3\r\n");
    append(log, convertedLine(kMorning, QStringLiteral("/lf/only.pdf"), "\n"));
    append(log, convertedLine(kMorning, QStringLiteral("/no/end.pdf"), ""));
    ConvertedIndex index(log);
    for (const char* path : {"/cr/only.pdf", "/lf/only.pdf", "/no/end.pdf"}) {
        const QString pdf = QString::fromLatin1(path);
        EXPECT_EQ(index.newestConverted(pdf), ConvertedIndex::newestConvertedByFullRead(log, pdf)) << path;
    }
    EXPECT_TRUE(index.newestConverted(QStringLiteral("/cr/only.pdf")).isValid());
    // A last line that lost its line end (an editor saved the log so) still counts, and stays one line
    // when the program appends after it.
    EXPECT_EQ(index.newestConverted(QStringLiteral("/no/end.pdf")), kMorning);
    FakeMessageBoxes boxes;
    AppendStringFSO(QString::fromUtf8(convertedLine(kMorning.addDays(1), QStringLiteral("/next.pdf"), "")), log, 2,
                    boxes);
    EXPECT_TRUE(TempTree::read(log).endsWith("/no/end.pdf\r\n" + convertedLine(kMorning.addDays(1), "/next.pdf")));
    EXPECT_EQ(index.newestConverted(QStringLiteral("/no/end.pdf")), kMorning);
    EXPECT_EQ(index.newestConverted(QStringLiteral("/next.pdf")), kMorning.addDays(1));
    // Cut in the middle and then continued, a line counts only as what it became.
    const QByteArray whole = convertedLine(kMorning, QStringLiteral("/in/a.pdf.pdf"));
    append(log, whole.left(whole.indexOf("/in/a.pdf") + 9));
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/a.pdf")), kMorning);
    append(log, "Started again\r\n");
    EXPECT_FALSE(index.newestConverted(QStringLiteral("/in/a.pdf")).isValid());
}

// A crash can leave hundreds of megabytes without a line end (a tail of NULs): read in time linear in
// its size, and in bounded memory.
TEST(ConvertedIndex, AHugeUnendedLineReadsInLinearTime)
{
    TempTree tree;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    append(log, convertedLine(kMorning, QStringLiteral("/in/a.pdf")));
    {
        QFile file(log);
        ASSERT_TRUE(file.open(QIODevice::Append));
        ASSERT_TRUE(file.resize(file.size() + (192LL << 20)));
    }
    QElapsedTimer timer;
    timer.start();
    ConvertedIndex index(log);
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/a.pdf")), kMorning);
    EXPECT_LT(timer.elapsed(), 8000); // quadratic, about 20 s; linear, well under a second
    append(log, "\r\n" + convertedLine(kMorning, QStringLiteral("/in/b.pdf")));
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/b.pdf")), kMorning);
}

// Saved, the index makes a start read only what was appended to the log since; a log replaced (as a
// text editor saves it), shortened or cleared is read afresh.
TEST(ConvertedIndex, AStartReadsOnlyWhatWasAppendedSinceTheIndexWasSaved)
{
    TempTree tree;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    append(log, "Started x\r\n");
    for (int i = 0; i < 300; ++i)
        append(log, convertedLine(kMorning, QStringLiteral("/in/%1.pdf").arg(i, 4, 10, QChar(u'0'))));
    {
        ConvertedIndex first(log);
        ASSERT_EQ(first.newestConverted(QStringLiteral("/in/0150.pdf")), kMorning);
        first.save();
    }
    append(log, convertedLine(kMorning.addDays(1), QStringLiteral("/in/new.pdf")));
    // Changed in place in the middle, where a start that trusts the index does not look again.
    QByteArray bytes = TempTree::read(log);
    const QByteArray middle = "/in/0150.pdf";
    bytes.replace(bytes.indexOf(middle), middle.size(), "/in/XXXX.pdf");
    {
        QFile same(log);
        ASSERT_TRUE(same.open(QIODevice::ReadWrite));
        same.write(bytes);
    }
    ConvertedIndex second(log);
    EXPECT_EQ(second.newestConverted(QStringLiteral("/in/new.pdf")), kMorning.addDays(1));
    EXPECT_EQ(second.newestConverted(QStringLiteral("/in/0150.pdf")), kMorning) << "the whole log was read again";
    EXPECT_FALSE(second.newestConverted(QStringLiteral("/in/XXXX.pdf")).isValid());
    second.save();
    // Saved anew by an editor: a new file, read whole.
    QFile::remove(log);
    append(log, bytes);
    ConvertedIndex third(log);
    EXPECT_EQ(third.newestConverted(QStringLiteral("/in/XXXX.pdf")), kMorning);
    EXPECT_FALSE(third.newestConverted(QStringLiteral("/in/0150.pdf")).isValid());
}

TEST(ConvertedIndex, MissingLogMeansNothingConverted)
{
    TempTree tree;
    ConvertedIndex index(tree.file(QStringLiteral("none.log")));
    EXPECT_FALSE(index.newestConverted(QStringLiteral("/a.pdf")).isValid());
}

// Random appends (as by another copy of the program), clears, truncations and replacements: after each,
// the index must answer exactly what a full read answers.
TEST(ConvertedIndex, StaysEqualToAFullReadAcrossOutsideChanges)
{
    TempTree tree;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    QRandomGenerator random(20261207);
    const QStringList paths = {QStringLiteral("/in/a.pdf"), QStringLiteral("/in/a.pdf.pdf"),
                               QStringLiteral("/in/b c.pdf"), QStringLiteral("/in/Ü.pdf")};
    ConvertedIndex index(log);
    for (int round = 0; round < 400; ++round) {
        const int action = random.bounded(100);
        const QDateTime when = kMorning.addSecs(random.bounded(100000));
        const QString path = paths[random.bounded(static_cast<int>(paths.size()))];
        if (action < 60) {
            append(log, convertedLine(when, path));
        } else if (action < 75) {
            append(log, "Started whenever\r\n");
        } else if (action < 82) {
            QFile::remove(log); // "Clear Log": a new file with one start line
            append(log, "Started again\r\n");
        } else if (action < 88) {
            QFile file(log);
            if (file.exists())
                file.resize(file.size() / 2);
        } else if (action < 94) {
            // Replaced by a file of the same size with other content.
            const qint64 size = QFileInfo(log).size();
            QByteArray other = convertedLine(when, path);
            other = other.leftJustified(size, ' ', true);
            QFile::remove(log);
            append(log, other);
        } else {
            append(log, convertedLine(when, path).left(10));
        }
        for (const QString& pdf : paths)
            ASSERT_EQ(index.newestConverted(pdf), ConvertedIndex::newestConvertedByFullRead(log, pdf))
                << "round " << round << " action " << action;
    }
}

// Deleted and written anew while the program runs (a restore, an editor's save), with the same start,
// end, size and time, it may even get the same inode number: it is still read anew.
TEST(ConvertedIndex, ALogWrittenAnewIsReadAnewWhateverItsInodeNumber)
{
    TempTree tree;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    for (int i = 0; i < 300; ++i)
        append(log, convertedLine(kMorning.addSecs(i), QStringLiteral("/in/a.pdf")));
    ConvertedIndex index(log);
    ASSERT_EQ(index.newestConverted(QStringLiteral("/in/a.pdf")), kMorning.addSecs(299));
    QByteArray bytes = TempTree::read(log);
    const qsizetype middle = bytes.indexOf("2026", bytes.size() / 2);
    bytes[middle + 3] = '7'; // one line in the middle a year later
    const QDateTime modified = QFileInfo(log).lastModified();
    QFile::remove(log);
    append(log, bytes);
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite) && file.setFileTime(modified, QFileDevice::FileModificationTime));
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/a.pdf")),
              ConvertedIndex::newestConvertedByFullRead(log, QStringLiteral("/in/a.pdf")));
}

TEST(ConvertedIndex, ALogWrittenUnderOtherRegionalSettingsStillReads)
{
    // The tests run under the C locale; these lines were written under United States settings.
    ASSERT_NE(QLocale::system().name(), QStringLiteral("en_US"));
    const QLocale american(QLocale::English, QLocale::UnitedStates);
    TempTree tree;
    const QString log = tree.write(QStringLiteral("DEV2IVI.log"), "Started x\r\n");
    append(log, LogLine::converted(LogDateTimeText(kMorning, american), QStringLiteral("/in/a.pdf")).toUtf8() + "\r\n");
    ConvertedIndex index(log);
    EXPECT_EQ(index.newestConverted(QStringLiteral("/in/a.pdf")), kMorning);
    EXPECT_EQ(ConvertedIndex::newestConvertedByFullRead(log, QStringLiteral("/in/a.pdf")), kMorning);
}

TEST(ConvertedIndex, EachRunOfTheLogReadsInTheRegionalFormatItWasWrittenIn)
{
    // Written by three runs of the program under three regional settings, the second log after a clear;
    // en_US and en_IN write the same digits for 5 March and 3 May.
    FakeMessageBoxes messages;
    TempTree tree;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    const QDateTime march(QDate(2026, 3, 5), QTime(14, 7, 9));
    const auto write = [&](const char* locale, const QDateTime& when, const QString& pdf) {
        QLocale::setDefault(QLocale(QString::fromLatin1(locale)));
        AppendStringFSO(LogLine::converted(LogDateTimeText(when, QLocale()), pdf), log, 2, messages);
    };
    write("en_US", march, QStringLiteral("/in/a.pdf"));
    write("en_IN", march.addDays(1), QStringLiteral("/in/b.pdf"));
    write("de_DE", march.addDays(2), QStringLiteral("/in/c.pdf"));
    for (const char* reader : {"en_US", "en_IN", "ja_JP"}) {
        QLocale::setDefault(QLocale(QString::fromLatin1(reader)));
        ConvertedIndex index(log);
        EXPECT_EQ(index.newestConverted(QStringLiteral("/in/a.pdf")), march) << reader;
        EXPECT_EQ(index.newestConverted(QStringLiteral("/in/b.pdf")), march.addDays(1)) << reader;
        EXPECT_EQ(ConvertedIndex::newestConvertedByFullRead(log, QStringLiteral("/in/c.pdf")), march.addDays(2));
    }
    // Cleared and written again under other settings: the old records no longer apply.
    QFile::remove(log);
    write("en_IN", march, QStringLiteral("/in/a.pdf"));
    QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    EXPECT_EQ(ConvertedIndex(log).newestConverted(QStringLiteral("/in/a.pdf")), march);
    QLocale::setDefault(QLocale::system());
    EXPECT_TRUE(messages.boxes.empty());
}
