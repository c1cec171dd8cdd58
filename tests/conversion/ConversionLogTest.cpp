#include "conversion/ConversionLog.h"

#include "support/Fakes.h"
#include "support/TempTree.h"

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
