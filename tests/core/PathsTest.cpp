#include "core/Paths.h"

#include <gtest/gtest.h>

using namespace quarnel;

namespace {
const QChar kWin = u'\\';
}

TEST(FileNameOf, TakesTextAfterLastSeparator)
{
    EXPECT_EQ(FileNameOf(QStringLiteral("C:\\a\\b.pdf"), kWin), QStringLiteral("b.pdf"));
    EXPECT_EQ(FileNameOf(QStringLiteral("b.pdf"), kWin), QStringLiteral("b.pdf"));
    EXPECT_EQ(FileNameOf(QStringLiteral("C:\\a\\"), kWin), QString());
    EXPECT_EQ(FileNameOf(QStringLiteral("/a/b.pdf")), QStringLiteral("b.pdf"));
    EXPECT_EQ(FileNameOf(QStringLiteral("b.pdf")), QStringLiteral("b.pdf"));
    EXPECT_EQ(FileNameOf(QStringLiteral("/a/")), QString());
    // A Windows path is one name to the native procedures.
    EXPECT_EQ(FileNameOf(QStringLiteral("C:\\a\\b.pdf")), QStringLiteral("C:\\a\\b.pdf"));
}

TEST(FolderOf, KeepsTrailingSeparator)
{
    EXPECT_EQ(FolderOf(QStringLiteral("C:\\a\\b.pdf"), kWin), QStringLiteral("C:\\a\\"));
    EXPECT_EQ(FolderOf(QStringLiteral("b.pdf"), kWin), QString());
    EXPECT_EQ(FolderOf(QStringLiteral("/a/b.pdf")), QStringLiteral("/a/"));
    EXPECT_EQ(FolderOf(QStringLiteral("/x.pdf")), QStringLiteral("/"));
    EXPECT_EQ(FolderOf(QStringLiteral("b.pdf")), QString());
}

TEST(ExtensionOf, UsesLastDotFromSecondPosition)
{
    EXPECT_EQ(ExtensionOf(QStringLiteral("report.final.pdf")), QStringLiteral("pdf"));
    EXPECT_EQ(ExtensionOf(QStringLiteral("report")), QStringLiteral("report"));
    EXPECT_EQ(ExtensionOf(QStringLiteral(".pdf")), QStringLiteral(".pdf"));
    EXPECT_EQ(ExtensionOf(QString()), QString());
    EXPECT_EQ(ExtensionOf(QStringLiteral("a.")), QString());
}

TEST(StripExtension, DropsLastExtensionOnly)
{
    EXPECT_EQ(StripExtension(QStringLiteral("report.final.pdf")), QStringLiteral("report.final"));
    EXPECT_EQ(StripExtension(QStringLiteral(".pdf")), QStringLiteral(".pdf"));
    EXPECT_EQ(StripExtension(QStringLiteral("report")), QStringLiteral("report"));
    EXPECT_EQ(StripExtension(QString()), QString());
    EXPECT_EQ(StripExtension(QStringLiteral("C:\\Out\\report.jpg")), QStringLiteral("C:\\Out\\report"));
}

TEST(CollapseBackslashes, WindowsFormsKeepNetworkPrefix)
{
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("C:\\\\a\\\\\\b"), kWin), QStringLiteral("C:\\a\\\\b"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("C:\\a\\\\\\\\b"), kWin), QStringLiteral("C:\\a\\\\b"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("\\\\\\server\\share"), kWin), QStringLiteral("\\\\server\\share"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("\\\\server\\share\\\\x"), kWin),
              QStringLiteral("\\\\server\\share\\x"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("\\x"), kWin), QStringLiteral("\\\\x"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("\\"), kWin), QStringLiteral("\\\\"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("C:\\\\"), kWin), QStringLiteral("C:\\"));
}

TEST(CollapseBackslashes, NativeFormsCollapseLeadingRunToOne)
{
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("/home//a///b")), QStringLiteral("/home/a//b"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("/a////b")), QStringLiteral("/a//b"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("///srv/share")), QStringLiteral("/srv/share"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("//")), QStringLiteral("/"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("/out//x.jpg")), QStringLiteral("/out/x.jpg"));
    EXPECT_EQ(CollapseBackslashes(QStringLiteral("rel//x")), QStringLiteral("rel/x"));
    EXPECT_EQ(CollapseBackslashes(QString()), QString());
}

TEST(NativeNames, ValidUtf8ReadsAsTextAndEveryByteStringComesBackAsItWas)
{
    const QByteArray valid = "Rechnungen – Entwürfe 日本 \xF0\x9F\x93\x84.pdf";
    EXPECT_EQ(NameFromNative(valid), QString::fromUtf8(valid));
    EXPECT_EQ(NativeName(QString::fromUtf8(valid)), valid);
    // Bytes that are not UTF-8: a Latin-1 letter, a stray continuation byte, a sequence cut short, an
    // overlong form, an encoded surrogate, a code past U+10FFFF. Each stands for itself.
    for (const QByteArray& foreign :
         {QByteArray("caf\xE9.pdf"), QByteArray("\x80"), QByteArray("a\xE2\x82"), QByteArray("\xC0\xAF"),
          QByteArray("\xED\xB2\x80"), QByteArray("\xF4\x90\x80\x80"), QByteArray("\xFF\xFE")}) {
        const QString text = NameFromNative(foreign);
        EXPECT_EQ(NativeName(text), foreign) << foreign.toHex().constData();
        EXPECT_EQ(text.count(QChar(0xFFFD)), 0);
    }
    EXPECT_EQ(NameFromNative("caf\xE9"), QStringLiteral("caf") + QChar(0xDCE9));
    EXPECT_TRUE(IsForeignByte(NameFromNative("\xE9").at(0)));
    // Every pair of bytes, which covers every lead and continuation byte next to every other.
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            const char pair[] = {static_cast<char>(a), static_cast<char>(b), 'x'};
            const QByteArray bytes(pair, 3);
            ASSERT_EQ(NativeName(NameFromNative(bytes)), bytes) << a << ' ' << b;
        }
    }
}
