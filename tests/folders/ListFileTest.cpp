#include "folders/ListFile.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace quarnel;

TEST(ListFileEntries, LineEndRules)
{
    EXPECT_EQ(ListFileEntries("/A\r\n/B\r\n"), (QStringList {"/A", "/B"}));
    EXPECT_EQ(ListFileEntries("/A\n/B\n"), (QStringList {"/A", "/B", ""}));
    EXPECT_EQ(ListFileEntries("/A\r\n\r\n/B\r\n"), (QStringList {"/A", "", "/B"}));
    EXPECT_EQ(ListFileEntries("/A\r/B"), (QStringList {"/A", "/B"}));
    EXPECT_EQ(ListFileEntries("  /A with blanks \r\n"), (QStringList {"  /A with blanks "}));
    EXPECT_EQ(ListFileEntries("/A\n\r/B"), (QStringList {"/A", "", "/B"}));
    EXPECT_EQ(ListFileEntries(""), QStringList());
    EXPECT_EQ(ListFileEntries("\r\n"), QStringList {""});
}

TEST(ListFileEntries, ByteOrderMarkDroppedAndUtf8Read)
{
    EXPECT_EQ(ListFileEntries("\xEF\xBB\xBF/Entw\xC3\xBCrfe\r\n"), QStringList {QStringLiteral("/Entwürfe")});
    // A mark anywhere else is text.
    EXPECT_EQ(ListFileEntries("/a\r\n\xEF\xBB\xBF/b").size(), 2);
}

TEST(ListFileEntries, LargeAndBinaryInputStaysLinear)
{
    QByteArray big;
    for (int i = 0; i < 100000; ++i)
        big += "/data/folder " + QByteArray::number(i) + "\r\n";
    const QStringList entries = ListFileEntries(big);
    ASSERT_EQ(entries.size(), 100000);
    EXPECT_EQ(entries.back(), QStringLiteral("/data/folder 99999"));
    const QByteArray binary("\x00\x01\xff\xfe\r\x80", 6);
    EXPECT_EQ(ListFileEntries(binary).size(), 2);
}

TEST(DialogResultLength, CountsAsTheWindowsDialogWould)
{
    EXPECT_EQ(DialogResultLength({}), 0);
    EXPECT_EQ(DialogResultLength({"/lists/a.txt"}), 12);
    // "/lists" NUL "a.txt" NUL "bb.txt" NUL NUL
    EXPECT_EQ(DialogResultLength({"/lists/a.txt", "/lists/bb.txt"}), 6 + 1 + 5 + 1 + 6 + 2);
    EXPECT_EQ(DialogResultLength({"/a.txt", "/b.txt"}), 1 + 1 + 5 + 1 + 5 + 2);
}
