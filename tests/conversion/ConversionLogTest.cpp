#include "conversion/ConversionLog.h"

#include "conversion/LogReport.h"
#include "support/Fakes.h"
#include "support/TempTree.h"

#include <QFile>
#include <QLocale>
#include <QSet>
#include <gtest/gtest.h>

using namespace quarnel;
using namespace Qt::StringLiterals;
using quarnel::test::FakeMessageBoxes;
using quarnel::test::TempTree;

TEST(LogDateTime, ReadsBackUnderEveryLocale)
{
    const QDateTime when(QDate(2026, 12, 7), QTime(18, 8, 58));
    for (const QLocale& locale : {QLocale::c(), QLocale(QStringLiteral("en_US")), QLocale(QStringLiteral("de_DE")),
                                  QLocale(QStringLiteral("ja_JP")), QLocale(QStringLiteral("en_GB"))}) {
        const QString text = LogDateTimeText(when, locale);
        EXPECT_TRUE(text.contains(QStringLiteral("2026"))) << qPrintable(text);
        EXPECT_FALSE(text.contains(QStringLiteral("UTC"))) << qPrintable(text);
        EXPECT_EQ(ParseLogDateTime(text, locale), when) << qPrintable(locale.name() + u' ' + text);
    }
    EXPECT_EQ(LogDateTimeText(when, QLocale(QStringLiteral("en_US"))), QStringLiteral("12/7/2026 6:08:58 PM"));
    EXPECT_EQ(LogDateTimeText(when, QLocale(QStringLiteral("de_DE"))), QStringLiteral("07.12.2026 18:08:58"));
    EXPECT_FALSE(ParseLogDateTime(QStringLiteral("yesterday"), QLocale::c()).isValid());
}

TEST(LogDateTime, ExactlyMidnightIsTheDateAloneAndReadsBack)
{
    const QDateTime midnight(QDate(2026, 12, 7), QTime(0, 0));
    EXPECT_EQ(LogDateTimeText(midnight, QLocale(QStringLiteral("en_US"))), QStringLiteral("12/7/2026"));
    EXPECT_EQ(LogDateTimeText(midnight.addSecs(1), QLocale(QStringLiteral("en_US"))),
              QStringLiteral("12/7/2026 12:00:01 AM"));
    for (const QLocale& locale : {QLocale::c(), QLocale(QStringLiteral("de_DE")), QLocale(QStringLiteral("ja_JP"))}) {
        const QString text = LogDateTimeText(midnight, locale);
        EXPECT_EQ(ParseLogDateTime(text, locale), midnight) << qPrintable(locale.name() + u' ' + text);
        EXPECT_EQ(ParseLogDate(text, 0, {}), midnight) << qPrintable(locale.name() + u' ' + text);
    }
}

TEST(LogLines, ExactTexts)
{
    const QString when = QStringLiteral("07.12.2026 18:08:58");
    EXPECT_EQ(LogLine::started(when), QStringLiteral("Started 07.12.2026 18:08:58"));
    EXPECT_EQ(LogLine::noFolders(when), when + QStringLiteral(" : No files or folders added."));
    EXPECT_EQ(LogLine::noOutputFolder(when),
              when + QStringLiteral(" : Output folder does not exist. Please select another folder."));
    EXPECT_EQ(LogLine::skipped(when, QStringLiteral("/in/a.pdf")),
              when + QStringLiteral(" : No new files or changes to convert /in/a.pdf"));
    EXPECT_EQ(LogLine::converted(when, QStringLiteral("/in/a.pdf")), when + QStringLiteral(" : Converted /in/a.pdf"));
    EXPECT_EQ(LogLine::failed(when, QStringLiteral("/in/a.pdf")),
              when + QStringLiteral(" : Could not create JPG on /in/a.pdf"));
    // A name's line breaks never break its line, and no two names share a text.
    const QStringList names {u"/in/a\rb.pdf"_s,           u"/in/a\u240Db.pdf"_s, u"/in/a\u241B\rb.pdf"_s,
                             u"/in/a\u241B\u240Db.pdf"_s, u"/in/a\nb.pdf"_s,     u"/in/a\u241Bb.pdf"_s};
    QSet<QString> texts;
    for (const QString& name : names) {
        const QString text = LogPathText(name);
        EXPECT_FALSE(text.contains(u'\r') || text.contains(u'\n')) << qPrintable(text);
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), names.size());
}

TEST(AppendStringFSO, AppendsOrReplacesWithCrLf)
{
    TempTree tree;
    FakeMessageBoxes boxes;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    AppendStringFSO(QStringLiteral("first"), log, 2, boxes);
    AppendStringFSO(QStringLiteral("zweite Zeile ü"), log, 2, boxes);
    EXPECT_EQ(TempTree::read(log), QByteArray("first\r\nzweite Zeile \xc3\xbc\r\n"));
    AppendStringFSO(QStringLiteral("only"), log, 1, boxes);
    EXPECT_EQ(TempTree::read(log), QByteArray("only\r\n"));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(AppendStringFSO, MissingFolderGivesOneReportAndNoFile)
{
    TempTree tree;
    FakeMessageBoxes boxes;
    AppendStringFSO(QStringLiteral("lost"), tree.file(QStringLiteral("gone/DEV2IVI.log")), 2, boxes);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text.section(u'\r', 0, 0), QStringLiteral("Path not found"));
    EXPECT_TRUE(boxes.boxes[0].text.contains(QStringLiteral("in Brenvolt2021/08/31.Main.AppendStringFSO at line 100")));
}

TEST(LogReport, FailuresAndTheLastPassAsTheLogShowsThem)
{
    TempTree tree;
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    EXPECT_TRUE(NewestFailures(log).isEmpty());
    EXPECT_FALSE(LastLoggedPass(log).has_value());
    // Earlier passes far behind (more than one block of reading backwards), then a start and two passes.
    QByteArray text;
    while (text.size() < (3 << 20) / 2)
        text += LogLine::failed(u"1/1/2026"_s, u"/old/x.pdf"_s).toUtf8() + "\r\n"
            + LogLine::skipped(u"1/1/2026"_s, u"/old/y.pdf"_s).toUtf8() + "\r\n";
    text += LogLine::converted(u"1/2/2026"_s, u"/old/x.pdf"_s).toUtf8() + "\r\n";
    text += LogLine::started(u"t0"_s).toUtf8() + "\r\n";
    for (const char* when : {"t1", "t2"})
        for (const auto& [kind, pdf] : {std::pair {"failed", "/in/b.pdf"},
                                        {"converted", "/in/a.pdf"},
                                        {"failed", "/in/c\nd.pdf"},
                                        {"skipped", "/in/e.pdf"}}) {
            const QString whenText = QString::fromLatin1(when), path = QString::fromLatin1(pdf);
            const QString line = QByteArrayView(kind) == "failed" ? LogLine::failed(whenText, path)
                : QByteArrayView(kind) == "converted"             ? LogLine::converted(whenText, path)
                                                                  : LogLine::skipped(whenText, path);
            text += line.toUtf8() + "\r\n";
        }
    text += "t3 : Converted /in/a.p"; // torn by a cut: a line of its own, never glued to the one before
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();
    EXPECT_EQ(NewestFailures(log),
              (QStringList {LogLine::failed(u"t2"_s, u"/in/b.pdf"_s), LogLine::failed(u"t2"_s, u"/in/c\nd.pdf"_s)}));
    const std::optional<LoggedPass> last = LastLoggedPass(log);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->start, u"t2"_s);
    EXPECT_EQ(last->end, u"t3"_s);
    EXPECT_EQ(std::tuple(last->converted, last->skipped, last->failed), std::tuple(2, 1, 2));
    EXPECT_EQ(last->failures, NewestFailures(log));
}
