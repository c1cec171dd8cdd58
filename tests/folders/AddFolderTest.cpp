#include "folders/AddFolder.h"

#include "core/Paths.h"
#include "core/RuntimeError.h"
#include "core/SettingsStore.h"
#include "folders/FolderWatch.h"
#include "support/Fakes.h"
#include "support/TempTree.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quarnel;
using namespace quarnel::test;

namespace {

QStringList walk(
    const QString& start, bool recurse = true, const std::function<void()>& yield = [] {})
{
    FakeMessageBoxes boxes;
    QStringList folders {start + u'/'};
    GetSubDirectories2016(folders, recurse, boxes, yield);
    EXPECT_TRUE(boxes.boxes.empty());
    return folders;
}

int depthBelow(const QString& root, const QString& folder)
{
    return static_cast<int>(folder.mid(root.size()).count(u'/')) - 1;
}

} // namespace

TEST(GetSubDirectories2016, ListsEveryLevelBeforeTheNext)
{
    TempTree tree;
    for (const char* path : {"a/a1/a11", "a/a2", "b/b1", "c", ".hidden/h1"})
        tree.mkdir(QString::fromLatin1(path));
    tree.write(QStringLiteral("a/file.pdf"), "not a folder");
    const QString root = tree.path() + u'/';
    const QStringList result = walk(tree.path());

    QStringList expected {root};
    for (const char* path : {"a/", "b/", "c/", ".hidden/", "a/a1/", "a/a2/", "b/b1/", ".hidden/h1/", "a/a1/a11/"})
        expected.append(root + QString::fromLatin1(path));
    EXPECT_EQ(QSet<QString>(result.begin(), result.end()), QSet<QString>(expected.begin(), expected.end()));
    EXPECT_EQ(result.size(), expected.size());
    EXPECT_EQ(result.front(), root);
    for (int i = 1; i < result.size(); ++i)
        EXPECT_LE(depthBelow(root, result[i - 1]), depthBelow(root, result[i])) << qPrintable(result.join(u' '));
}

TEST(GetSubDirectories2016, WithoutSubfoldersOrRecursion)
{
    TempTree tree;
    EXPECT_EQ(walk(tree.path()), QStringList {tree.path() + u'/'});
    tree.mkdir(QStringLiteral("x/deeper"));
    EXPECT_EQ(walk(tree.path(), false), (QStringList {tree.path() + u'/', tree.path() + QStringLiteral("/x/")}));
}

TEST(GetSubDirectories2016, LinkLoopsEndAndAddNothingTwice)
{
    TempTree tree;
    tree.mkdir(QStringLiteral("a/b"));
    ASSERT_EQ(::symlink(qPrintable(tree.path()), qPrintable(tree.file(QStringLiteral("a/b/up")))), 0);
    ASSERT_EQ(::symlink(qPrintable(tree.file(QStringLiteral("a"))), qPrintable(tree.file(QStringLiteral("side")))), 0);
    const QStringList result = walk(tree.path());
    // "side" leads to "a" (or the other way round, whichever is met first): listed once.
    EXPECT_EQ(result.size(), 3) << qPrintable(result.join(u' '));
    EXPECT_FALSE(result.join(u' ').contains(QStringLiteral("/up/")));
}

TEST(GetSubDirectories2016, RefusedNamesAreSkippedWithTheirSubtrees)
{
    TempTree tree;
    for (const QString& name : {QStringLiteral("new\nline/sub"), QStringLiteral("what?/sub"),
                                QStringLiteral("ctl\u0085/sub"), QStringLiteral("fine é/sub")})
        tree.mkdir(name);
    const QStringList result = walk(tree.path());
    EXPECT_EQ(result,
              (QStringList {tree.path() + u'/', tree.path() + QStringLiteral("/fine é/"),
                            tree.path() + QStringLiteral("/fine é/sub/")}));
}

TEST(GetSubDirectories2016, IgnoredFoldersAreNeitherListedNorEntered)
{
    TempTree tree;
    for (const QString& name : {QStringLiteral("#recycle/old"), QStringLiteral("@EADIR/x"),
                                QStringLiteral(".Trash-1000/files"), QStringLiteral("scans/2026")})
        tree.mkdir(name);
    FakeMessageBoxes boxes;
    const IgnoreList ignore(IgnoreList::Patterns(QString::fromLatin1(SettingKey::Ignore.defaultText)));
    EXPECT_EQ(FolderTreeRows(
                  tree.path(), boxes, [] {}, ignore),
              (QStringList {tree.path() + u'/', tree.path() + QStringLiteral("/scans/"),
                            tree.path() + QStringLiteral("/scans/2026/")}));
}

TEST(FolderTrees, SubfoldersMadeLaterJoinTheListAndOnesTakenOffStayOff)
{
    TempTree tree;
    SettingsStore settings(tree.file(QStringLiteral("Quarnel.conf")));
    FolderTrees trees(settings);
    FakeMessageBoxes boxes;
    const QString root = tree.mkdir(QStringLiteral("in"));
    QStringList rows = FolderTreeRows(
        root, boxes, [] {}, IgnoreList());
    const auto found = [&] { return trees.newSubfolders(rows, boxes, [] {}); };
    // A list from before: nothing is added to it.
    tree.mkdir(QStringLiteral("in/2026/12"));
    EXPECT_TRUE(found().isEmpty());

    trees.added(rows.first());
    tree.mkdir(QStringLiteral("in/@eaDir"));
    EXPECT_EQ(found(), (QStringList {root + QStringLiteral("/2026/"), root + QStringLiteral("/2026/12/")}));
    rows += found();
    EXPECT_TRUE(found().isEmpty());
    // A folder taken off stays off with what is beneath it, made before or after.
    rows.removeAll(root + QStringLiteral("/2026/"));
    trees.removed({root + QStringLiteral("/2026")});
    tree.mkdir(QStringLiteral("in/2026/11"));
    tree.mkdir(QStringLiteral("in/2027"));
    EXPECT_EQ(found(), QStringList {root + QStringLiteral("/2027/")});
    // Adding the tree again brings it back; taking the root off forgets the tree.
    trees.added(root);
    EXPECT_EQ(found(),
              (QStringList {root + QStringLiteral("/2026/"), root + QStringLiteral("/2027/"),
                            root + QStringLiteral("/2026/11/")}));
    trees.removed({root + u'/'});
    EXPECT_TRUE(found().isEmpty());
    // With new-subfolders off, a tree added is not watched.
    settings.SaveSetting(SettingKey::NewSubfolders, QStringLiteral("Off"));
    trees.added(root);
    EXPECT_TRUE(found().isEmpty());
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(GetSubDirectories2016, PathsOf260CharactersAreNotEntered)
{
    TempTree tree;
    const QString longName(200, u'n');
    const QString deep = tree.mkdir(longName + u'/' + QString(100, u'm') + QStringLiteral("/below"));
    const QStringList result = walk(tree.path());
    ASSERT_EQ(result.size(), 3); // the root, the 200-character folder, and its too-long child listed but not entered
    EXPECT_FALSE(result.join(u' ').contains(QStringLiteral("below")));
    EXPECT_TRUE(QDir(deep).exists());
}

TEST(GetSubDirectories2016, FoldersThatVanishOrAreDeniedAreDropped)
{
    TempTree tree;
    tree.mkdir(QStringLiteral("gone/child"));
    tree.mkdir(QStringLiteral("kept/child"));
    bool removed = false;
    // The first yield comes after the start folder is opened: remove a subfolder before it is listed.
    const QStringList result = walk(tree.path(), true, [&] {
        if (!removed)
            removed = QDir(tree.file(QStringLiteral("gone"))).removeRecursively();
    });
    EXPECT_EQ(result,
              (QStringList {tree.path() + u'/', tree.path() + QStringLiteral("/kept/"),
                            tree.path() + QStringLiteral("/kept/child/")}));

    FakeMessageBoxes boxes;
    QStringList missing {tree.file(QStringLiteral("never")) + u'/'};
    GetSubDirectories2016(missing, true, boxes, [] {});
    EXPECT_TRUE(missing.isEmpty() || missing == QStringList {tree.file(QStringLiteral("never")) + u'/'});

    if (::geteuid() != 0) {
        tree.mkdir(QStringLiteral("denied/inside"));
        QFile::setPermissions(tree.file(QStringLiteral("denied")), QFileDevice::Permissions());
        QStringList denied {tree.file(QStringLiteral("denied")) + u'/'};
        GetSubDirectories2016(denied, true, boxes, [] {});
        EXPECT_TRUE(denied.isEmpty());
        QFile::setPermissions(tree.file(QStringLiteral("denied")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
}

TEST(GetFilesInFolder, EmptyResultHasOnePlaceholder)
{
    TempTree tree;
    tree.write(QStringLiteral("a.txt"), "x");
    tree.mkdir(QStringLiteral("d.pdf"));
    const FileNameList none = GetFilesInFolder(tree.path(), QStringLiteral("*.pdf"));
    EXPECT_EQ(none.lowerBound(), 0);
    EXPECT_EQ(none.upperBound(), 0);
    EXPECT_EQ(none[0], QString());
    EXPECT_EQ(GetFilesInFolder(tree.file(QStringLiteral("missing")), QStringLiteral("*.pdf")).upperBound(), 0);
}

TEST(GetFilesInFolder, FindsEveryMatchIncludingHiddenAndUpperCase)
{
    TempTree tree;
    for (int i = 0; i < 147; ++i)
        tree.write(QStringLiteral("doc %1.pdf").arg(i), "%PDF");
    tree.write(QStringLiteral("LOUD.PDF"), "%PDF");
    tree.write(QStringLiteral(".hidden.pdf"), "%PDF");
    tree.write(QStringLiteral("mixed.Pdf"), "%PDF");
    tree.write(QStringLiteral("notes.pdf.txt"), "x");
    const FileNameList found = GetFilesInFolder(tree.path() + u'/', QStringLiteral("*.pdf"));
    EXPECT_EQ(found.lowerBound(), 1);
    EXPECT_EQ(found.upperBound(), 150);
    const QStringList names = found.names();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), NameOrder));
    EXPECT_EQ(names.front(), QStringLiteral(".hidden.pdf"));
    EXPECT_TRUE(names.contains(QStringLiteral("LOUD.PDF")));
    EXPECT_TRUE(names.contains(QStringLiteral(".hidden.pdf")));
    EXPECT_FALSE(names.contains(QStringLiteral("notes.pdf.txt")));
}

// A folder that cannot be listed (no file descriptor left, a failing disk) is an error to report, never
// a folder without PDFs.
TEST(GetFilesInFolder, AListingThatFailsIsAnErrorNotAnEmptyFolder)
{
    TempTree tree;
    tree.write(QStringLiteral("a.pdf"), "%PDF");
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        taken.push_back(fd);
    bool threw = false;
    try {
        GetFilesInFolder(tree.path(), QStringLiteral("*.pdf"));
    } catch (const RuntimeError&) {
        threw = true;
    }
    for (const int fd : taken)
        ::close(fd);
    EXPECT_TRUE(threw);
    EXPECT_EQ(GetFilesInFolder(tree.path(), QStringLiteral("*.pdf")).upperBound(), 1);
}

TEST(IsFilePresent, FilesYesFoldersNo)
{
    TempTree tree;
    const QString file = tree.write(QStringLiteral("f.log"), "x");
    EXPECT_TRUE(IsFilePresent(file));
    QFile::setPermissions(file, QFileDevice::Permissions());
    EXPECT_TRUE(IsFilePresent(file)); // no access rights are asked for
    EXPECT_FALSE(IsFilePresent(tree.path()));
    EXPECT_FALSE(IsFilePresent(tree.file(QStringLiteral("missing"))));
    EXPECT_FALSE(IsFilePresent(QString()));
    ASSERT_EQ(::mkfifo(qPrintable(tree.file(QStringLiteral("fifo"))), 0600), 0);
    EXPECT_FALSE(IsFilePresent(tree.file(QStringLiteral("fifo")))); // and the test does not block
}

TEST(HasInvalidChars, ControlCharactersAndQuestionMark)
{
    EXPECT_FALSE(HasInvalidChars(QString()));
    EXPECT_FALSE(HasInvalidChars(QStringLiteral("Rechnungen 2026 – Entwürfe 日本")));
    EXPECT_TRUE(HasInvalidChars(QStringLiteral("a\tb")));
    EXPECT_TRUE(HasInvalidChars(QStringLiteral("a\u007fb")));
    EXPECT_TRUE(HasInvalidChars(QStringLiteral("a\u009fb")));
    EXPECT_FALSE(HasInvalidChars(QStringLiteral("a\u00a0b")));
    EXPECT_TRUE(HasInvalidChars(QStringLiteral("why?")));
    EXPECT_TRUE(HasInvalidChars(QFile::decodeName(QByteArray("bad\xff"))));
    // A folder whose name is not valid UTF-8 is refused as one whose name cannot be shown.
    EXPECT_TRUE(HasInvalidChars(NameFromNative("bad\xff")));
}
