#include "core/PrivateFolder.h"

#include "core/FileProcedures.h"
#include "core/RuntimeError.h"
#include "support/TempTree.h"

#include <QElapsedTimer>
#include <QFile>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

constexpr uid_t kNobody = 65534;

mode_t modeOf(const QString& path)
{
    struct stat info = {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

int refusal(const std::function<void()>& use)
{
    try {
        use();
    } catch (const RuntimeError& error) {
        return error.number();
    }
    return 0;
}

bool link(const QString& target, const QString& name)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(name).constData()) == 0;
}

class PrivateFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        savedTemp = qgetenv("TEMP");
        savedState = qgetenv("XDG_STATE_HOME");
        savedHome = qgetenv("HOME");
    }
    void TearDown() override
    {
        qputenv("TEMP", savedTemp);
        qputenv("XDG_STATE_HOME", savedState);
        qputenv("HOME", savedHome);
    }

    TempTree tree;
    QByteArray savedTemp, savedState, savedHome;
};

} // namespace

TEST_F(PrivateFolderTest, TemporaryFolderWithoutTempIsThePrivateStateFolder)
{
    qunsetenv("TEMP");
    qputenv("XDG_STATE_HOME", tree.file(QStringLiteral("state")).toUtf8());
    const QString expected = tree.file(QStringLiteral("state/Vantorell/Quarnel"));
    EXPECT_EQ(TempFolder(), expected);
    EXPECT_EQ(modeOf(expected), 0700u);
    EXPECT_EQ(modeOf(tree.file(QStringLiteral("state"))), 0700u);

    // Without XDG_STATE_HOME, or with a relative one (which the base directory rules ignore): the home's.
    qputenv("HOME", tree.file(QStringLiteral("home")).toUtf8());
    for (const QByteArray& state : {QByteArray(), QByteArray("relative/state")}) {
        qputenv("XDG_STATE_HOME", state);
        EXPECT_EQ(TempFolder(), tree.file(QStringLiteral("home/.local/state/Vantorell/Quarnel")));
    }
    EXPECT_EQ(modeOf(tree.file(QStringLiteral("home/.local/state/Vantorell/Quarnel"))), 0700u);

    qputenv("TEMP", tree.file(QStringLiteral("chosen/")).toUtf8());
    EXPECT_EQ(TempFolder(), tree.file(QStringLiteral("chosen")));
}

TEST_F(PrivateFolderTest, WorkingFoldersAreCreatedPrivateAndRefusedWhenSomeoneElseCouldControlThem)
{
    const QString fresh = tree.file(QStringLiteral("ps"));
    EXPECT_EQ(refusal([&] { UsePrivateFolder(fresh); }), 0);
    EXPECT_EQ(modeOf(fresh), 0700u);
    EXPECT_EQ(refusal([&] { UsePrivateFolder(fresh); }), 0) << "an existing private folder is used again";

    // A link planted in the folder's place, pointing at a folder of the user's.
    const QString victim = tree.mkdir(QStringLiteral("Documents"));
    tree.write(QStringLiteral("Documents/keep.jpg"), "mine");
    ASSERT_TRUE(link(victim, tree.file(QStringLiteral("bw"))));
    EXPECT_EQ(refusal([&] { UsePrivateFolder(tree.file(QStringLiteral("bw"))); }), 70);

    const QString open = tree.mkdir(QStringLiteral("open"));
    ::chmod(QFile::encodeName(open).constData(), 0777);
    EXPECT_EQ(refusal([&] { UsePrivateFolder(open); }), 70) << "writable by other accounts";

    tree.write(QStringLiteral("file"), "x");
    EXPECT_EQ(refusal([&] { UsePrivateFolder(tree.file(QStringLiteral("file"))); }), 70);

    // A parent where anyone may rename entries: refused; the same parent made sticky, as /tmp is: used.
    const QString shared = tree.mkdir(QStringLiteral("shared"));
    ::chmod(QFile::encodeName(shared).constData(), 0777);
    EXPECT_EQ(refusal([&] { UsePrivateFolder(shared + QStringLiteral("/ps")); }), 70);
    ::chmod(QFile::encodeName(shared).constData(), 01777);
    EXPECT_EQ(refusal([&] { UsePrivateFolder(shared + QStringLiteral("/ps")); }), 0);

    if (::geteuid() == 0) {
        const QString theirs = tree.mkdir(QStringLiteral("theirs"));
        ::chmod(QFile::encodeName(theirs).constData(), 0700);
        ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), kNobody, kNobody), 0);
        EXPECT_EQ(refusal([&] { UsePrivateFolder(theirs); }), 70) << "owned by another account";
    }
    EXPECT_EQ(TempTree::read(victim + QStringLiteral("/keep.jpg")), QByteArray("mine"));
}

TEST_F(PrivateFolderTest, OwnFilesAreOpenedOnlyWhenTheyAreTheUsersAndNeverThroughALink)
{
    const QString log = tree.file(QStringLiteral("DEV2IVI.log"));
    const int fd = OpenPrivateFile(log, O_WRONLY | O_CREAT | O_APPEND);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(modeOf(log), 0600u);

    const QString elsewhere = tree.write(QStringLiteral("elsewhere.txt"), "untouched");
    const QString planted = tree.file(QStringLiteral("planted.log"));
    ASSERT_TRUE(link(elsewhere, planted));
    EXPECT_EQ(refusal([&] { OpenPrivateFile(planted, O_WRONLY | O_APPEND); }), 70);
    EXPECT_EQ(TempTree::read(elsewhere), QByteArray("untouched"));

    // A pipe in the file's place neither blocks the program nor is used.
    const QString pipe = tree.file(QStringLiteral("pipe.log"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(refusal([&] { OpenPrivateFile(pipe, O_RDONLY); }), 70);
    EXPECT_LT(clock.elapsed(), 2000);

    const QString shared = tree.write(QStringLiteral("shared.log"), "x");
    ::chmod(QFile::encodeName(shared).constData(), 0666);
    EXPECT_EQ(refusal([&] { OpenPrivateFile(shared, O_RDONLY); }), 70);

    if (::geteuid() == 0) {
        const QString theirs = tree.write(QStringLiteral("theirs.log"), "x");
        ::chmod(QFile::encodeName(theirs).constData(), 0644);
        ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), kNobody, kNobody), 0);
        EXPECT_EQ(refusal([&] { OpenPrivateFile(theirs, O_RDONLY); }), 70);
    }
}
