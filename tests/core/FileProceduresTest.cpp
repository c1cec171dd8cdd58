#include "core/FileProcedures.h"

#include "core/RuntimeError.h"
#include "support/TempTree.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quarnel;
using quarnel::test::TempTree;

TEST(FileTests, ExistenceNeverRaises)
{
    TempTree tree;
    const QString file = tree.write(QStringLiteral("a.pdf"), "x");
    EXPECT_TRUE(PathExists(file));
    EXPECT_FALSE(PathExists(tree.file(QStringLiteral("missing.pdf"))));
    EXPECT_FALSE(PathExists(QString()));
    EXPECT_TRUE(FolderExists(tree.path()));
    EXPECT_TRUE(FolderExists(tree.path() + u'/'));
    EXPECT_FALSE(FolderExists(file));
    EXPECT_FALSE(FolderExists(tree.file(QStringLiteral("nope"))));
    EXPECT_FALSE(FolderExists(QString()));
}

TEST(DeleteFileQuietly, DeletesMatchesWithoutRegardToCase)
{
    TempTree tree;
    tree.write(QStringLiteral("a-001.JPG"), "1");
    tree.write(QStringLiteral("a-002.jpg"), "2");
    tree.write(QStringLiteral("b-001.jpg"), "3");
    tree.write(QStringLiteral("a-001.jpeg"), "4");
    tree.mkdir(QStringLiteral("a-dir.jpg"));
    DeleteFileQuietly(tree.file(QStringLiteral("a-00?.jpg")));
    const QStringList left = QDir(tree.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    EXPECT_EQ(left,
              (QStringList {QStringLiteral("a-001.jpeg"), QStringLiteral("a-dir.jpg"), QStringLiteral("b-001.jpg")}));
    DeleteFileQuietly(tree.file(QStringLiteral("*")));
    EXPECT_EQ(QDir(tree.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).size(), 0);
    EXPECT_TRUE(FolderExists(tree.file(QStringLiteral("a-dir.jpg"))));
}

TEST(DeleteFileQuietly, IgnoresEveryFailure)
{
    TempTree tree;
    DeleteFileQuietly(tree.file(QStringLiteral("missing.log")));
    DeleteFileQuietly(tree.file(QStringLiteral("no/such/folder/*.jpg")));
    DeleteFileQuietly(tree.path()); // a folder is not a file
    EXPECT_TRUE(FolderExists(tree.path()));
}

TEST(WildcardMatch, StarAndQuestionMark)
{
    EXPECT_TRUE(WildcardMatch(QStringLiteral("*.pdf"), QStringLiteral("X.PDF")));
    EXPECT_TRUE(WildcardMatch(QStringLiteral("*.pdf"), QStringLiteral(".pdf")));
    EXPECT_FALSE(WildcardMatch(QStringLiteral("*.pdf"), QStringLiteral("a.pdf.txt")));
    EXPECT_TRUE(WildcardMatch(QStringLiteral("a*b*c"), QStringLiteral("aXXbYYbc")));
    EXPECT_FALSE(WildcardMatch(QStringLiteral("a?c"), QStringLiteral("ac")));
    EXPECT_TRUE(WildcardMatch(QStringLiteral("[x].pdf"), QStringLiteral("[X].pdf")));
}

TEST(WriteTextFile, ReplacesContentAndEndsWithCrLf)
{
    TempTree tree;
    const QString path = tree.write(QStringLiteral("p.bat"), "old content that is longer");
    WriteTextFile(path, QStringLiteral("line één"));
    EXPECT_EQ(TempTree::read(path), QByteArray("line \xc3\xa9\xc3\xa9n\r\n"));
    try {
        WriteTextFile(tree.file(QStringLiteral("missing/p.bat")), QStringLiteral("x"));
        FAIL() << "no error";
    } catch (const RuntimeError& error) {
        EXPECT_EQ(error.number(), 76);
    }
}

TEST(Folders, DesktopTempAndProgramFolder)
{
    qputenv("XDG_CONFIG_HOME", "/nonexistent-config");
    EXPECT_TRUE(DesktopFolder().endsWith(u'/'));
    qputenv("TEMP", "/var/tmp/q/");
    EXPECT_EQ(TempFolder(), QStringLiteral("/var/tmp/q"));
    EXPECT_TRUE(FolderExists(ProgramFolder()));
}

TEST(CopyToNewFile, CopiesWholeKeepsPermissionsAndNeverOverwrites)
{
    TempTree tree;
    QByteArray content;
    for (int i = 0; i < 300000; ++i)
        content += static_cast<char>(i * 7);
    const QString launcher = tree.write(QStringLiteral("launcher"), content);
    QFile::setPermissions(launcher, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_TRUE(CopyToNewFile(launcher, tree.file(QStringLiteral("copy"))));
    EXPECT_EQ(TempTree::read(tree.file(QStringLiteral("copy"))), content);
    EXPECT_TRUE(QFileInfo(tree.file(QStringLiteral("copy"))).isExecutable());
    // Onto another file system too, where the kernel cannot share blocks.
    QTemporaryDir elsewhere(QStringLiteral("/dev/shm/quarnel-test-XXXXXX"));
    if (elsewhere.isValid()) {
        EXPECT_TRUE(CopyToNewFile(launcher, elsewhere.filePath(QStringLiteral("copy"))));
        EXPECT_EQ(TempTree::read(elsewhere.filePath(QStringLiteral("copy"))), content);
    }
    // A name that is taken stays as it was; a source that is missing or a folder leaves nothing behind.
    const QString taken = tree.write(QStringLiteral("taken"), "the user's");
    EXPECT_FALSE(CopyToNewFile(launcher, taken));
    EXPECT_EQ(TempTree::read(taken), QByteArray("the user's"));
    EXPECT_FALSE(CopyToNewFile(tree.file(QStringLiteral("missing")), tree.file(QStringLiteral("none"))));
    EXPECT_FALSE(CopyToNewFile(tree.path(), tree.file(QStringLiteral("none"))));
    EXPECT_FALSE(QFileInfo::exists(tree.file(QStringLiteral("none"))));
    // A named pipe put in a PDF's place (by anyone who can write to a shared folder) is refused at once,
    // never waited on.
    const QString pipe = tree.file(QStringLiteral("pipe.pdf"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    auto copying
        = std::async(std::launch::async, [&] { return CopyToNewFile(pipe, tree.file(QStringLiteral("none"))); });
    const bool answered = copying.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!answered) {
        const int writer = ::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK); // let it go
        ::close(writer);
    }
    ASSERT_TRUE(answered) << "the copy waited on the pipe";
    EXPECT_FALSE(copying.get());
}

TEST(RemoveFolderContents, RemovesEveryNameAtEveryDepthButNothingALinkPointsTo)
{
    TempTree tree;
    TempTree outside;
    outside.write(QStringLiteral("keep.jpg"), "mine");
    tree.write(QStringLiteral("work/a.jpg"), "x");
    tree.write(QStringLiteral("work/inner/deeper/b.jpg"), "x");
    tree.write(QStringLiteral("work/.hidden"), "x");
    const QByteArray work = QFile::encodeName(tree.file(QStringLiteral("work")));
    // A name that is not valid UTF-8, and links to a folder and to a file outside.
    const int fd = ::open((work + "/caf\xE9.jpg").constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::symlink(QFile::encodeName(outside.path()).constData(), (work + "/folder-link").constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(outside.file(QStringLiteral("keep.jpg"))).constData(),
                        (work + "/file-link").constData()),
              0);

    RemoveFolderContents(tree.file(QStringLiteral("work")));
    EXPECT_EQ(QDir(tree.file(QStringLiteral("work")))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList());
    EXPECT_EQ(TempTree::read(outside.file(QStringLiteral("keep.jpg"))), "mine");

    RemoveFolderContents(tree.file(QStringLiteral("work")), true);
    EXPECT_FALSE(QFileInfo::exists(tree.file(QStringLiteral("work"))));
    RemoveFolderContents(tree.file(QStringLiteral("missing")), true); // nothing to do, no failure
}
