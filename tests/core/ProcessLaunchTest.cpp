#include "core/ProcessLaunch.h"

#include "core/BatchRunner.h"
#include "support/TempTree.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quarnel;
using quarnel::test::TempTree;

namespace {

const QString kBin = QStringLiteral(QUARNEL_BIN_DIR);

class RecordingLauncher final : public Launcher
{
public:
    pid_t launch(const QString& file, const QString&, const QString&, int windowStyle, int& failure) override
    {
        files.append(file);
        styles.push_back(windowStyle);
        failure = nextFailure;
        return 0;
    }
    QStringList files;
    std::vector<int> styles;
    int nextFailure = 0;
};

// A path as the batch runner takes it: bytes in the locale's encoding.
std::string nameOf(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

void makeExecutable(const QString& path)
{
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// The background child of a converter is gone, or a zombie waiting to be reaped by whoever adopted it.
bool hasEnded(pid_t child)
{
    const QByteArray stat = TempTree::read(QStringLiteral("/proc/%1/stat").arg(child));
    return ::kill(child, 0) != 0 || stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// A batch file `run.bat` whose converter starts a child (its id in child.pid) and never ends.
void writeConverterThatNeverEnds(const TempTree& tree)
{
    makeExecutable(tree.write(QStringLiteral("forever"), "#!/bin/sh\nsleep 300 &\necho $! > child.pid\nsleep 300\n"));
    tree.write(QStringLiteral("run.bat"), "forever\r\n");
}

void expectChildEnded(const TempTree& tree)
{
    const pid_t child = TempTree::read(tree.file(QStringLiteral("child.pid"))).trimmed().toInt();
    ASSERT_GT(child, 0);
    EXPECT_TRUE(WaitServingEvents([child] { return hasEnded(child); }, std::chrono::seconds(2)));
}

} // namespace

TEST(ShellError, NumbersAndMessages)
{
    EXPECT_EQ(ShellError(2).number(), 53);
    EXPECT_EQ(ShellError(2).description(), QStringLiteral("File not found"));
    EXPECT_EQ(ShellError(3).number(), 76);
    EXPECT_EQ(ShellError(5).description(), QStringLiteral("Path/file access error"));
    EXPECT_EQ(ShellError(0).number(), 7);
    EXPECT_EQ(ShellError(8).number(), 7);
    EXPECT_EQ(ShellError(11).number(), -2147221504 + 1048 + 11);
    EXPECT_EQ(ShellError(26).description(), QStringLiteral("A sharing violation occurred."));
    EXPECT_EQ(ShellError(28).number(), 286);
    EXPECT_EQ(ShellError(29).number(), 285);
    EXPECT_EQ(ShellError(30).number(), 285);
    EXPECT_EQ(ShellError(31).description(), QStringLiteral("No application is associated with this file type."));
    EXPECT_EQ(ShellError(32).number(), 48);
    EXPECT_EQ(ShellError(14).number(), -2147221504 + 1048 + 14);
    EXPECT_EQ(ShellError(14).description(),
              QStringLiteral("An error occurred occurred whilst trying to open or print the selected file."));
}

TEST(GShell, StyleRules)
{
    RecordingLauncher launcher;
    std::optional<RuntimeError> error;
    GShell(launcher, QStringLiteral("\"/x/Tool.ExE\""), 1, QStringLiteral("-a"), QString(), QStringLiteral("open"),
           error);
    GShell(launcher, QStringLiteral("/x/tool.exe"), 3, QString(), QString(), QStringLiteral("open"), error);
    GShell(launcher, QStringLiteral("/x/run.bat"), 0, QString(), QStringLiteral("/x"), QStringLiteral("open"), error);
    EXPECT_EQ(launcher.styles, (std::vector<int> {0, 1, 0}));
    EXPECT_EQ(launcher.files.front(), QStringLiteral("/x/Tool.ExE"));
    OpenAndWait(launcher, QStringLiteral("/x/run.bat"), 7, QStringLiteral("/x"));
    OpenAndWait(launcher, QStringLiteral("/x/run.bat"), -1, QStringLiteral("/x"));
    EXPECT_EQ(launcher.styles.back(), 6);
    EXPECT_EQ(launcher.styles[launcher.styles.size() - 2], 6);
    launcher.nextFailure = 31;
    EXPECT_EQ(GShell(launcher, QStringLiteral("/x/a.xyz"), 1, QString(), QString(), QStringLiteral("open"), error), 31);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->number(), -2147221504 + 1048 + 31);
}

TEST(OpenAndWait, MissingFileFailsAtOnce)
{
    TempTree tree;
    SystemLauncher launcher(kBin);
    std::optional<RuntimeError> error;
    EXPECT_EQ(GShell(launcher, tree.file(QStringLiteral("none.bat")), 0, QString(), tree.path(), QStringLiteral("open"),
                     error),
              2);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->number(), 53);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(OpenAndWait(launcher, u'"' + tree.file(QStringLiteral("none.bat")) + u'"', 0, tree.path()), -1);
    EXPECT_LT(clock.elapsed(), 1000);
}

TEST(OpenAndWait, RunsABatchFileInItsFolderAndReturnsItsStatus)
{
    TempTree tree;
    const QString tool = tree.write(QStringLiteral("tool"),
                                    "#!/bin/sh\npwd > where.txt\necho \"$1\" > arg.txt\n"
                                    "echo \"$PATH\" > path.txt\nreadlink /proc/$$/fd/0 > input.txt\nexit 3\n");
    makeExecutable(tool);
    tree.write(QStringLiteral("Old.TXT"), "x");
    // The converter's failure is passed on, though the line after it succeeds.
    tree.write(QStringLiteral("run.bat"),
               "@echo off\r\nrem a comment\r\ndel old.txt\r\ntool \"100%% sure\"\r\nmd made\r\n");
    SystemLauncher launcher(kBin);
    EXPECT_EQ(OpenAndWait(launcher, u'"' + tree.file(QStringLiteral("run.bat")) + u'"', 0, tree.path() + u'/'), 3);
    EXPECT_EQ(TempTree::read(tree.file(QStringLiteral("where.txt"))).trimmed(), QFile::encodeName(tree.path()));
    EXPECT_EQ(TempTree::read(tree.file(QStringLiteral("arg.txt"))), QByteArray("100% sure\n"));
    EXPECT_FALSE(QFile::exists(tree.file(QStringLiteral("Old.TXT"))));
    // The program's own tools come first; nothing waits on the program's input.
    EXPECT_TRUE(TempTree::read(tree.file(QStringLiteral("path.txt"))).startsWith(QFile::encodeName(kBin) + ':'));
    EXPECT_EQ(TempTree::read(tree.file(QStringLiteral("input.txt"))), QByteArray("/dev/null\n"));
}

TEST(OpenAndWait, ConverterThatNeverEndsIsEndedWithItsGroup)
{
    TempTree tree;
    writeConverterThatNeverEnds(tree);
    SystemLauncher launcher(kBin);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(
        OpenAndWait(launcher, tree.file(QStringLiteral("run.bat")), 0, tree.path(), std::chrono::milliseconds(600)),
        -2);
    EXPECT_LT(clock.elapsed(), 5000);
    expectChildEnded(tree);
}

TEST(OpenAndWait, EndingTheProgramMidBatchEndsTheConverterAndRemovesTheStagingFolder)
{
    TempTree tree;
    writeConverterThatNeverEnds(tree);
    tree.write(QStringLiteral("staging/report-001.jpg"), "half a pass");
    SetActiveStagingFolder(tree.file(QStringLiteral("staging")));
    // What the program's end does while a pass waits for its converter.
    QTimer::singleShot(400, [] { EndRunningBatch(); });
    SystemLauncher launcher(kBin);
    QElapsedTimer clock;
    clock.start();
    OpenAndWait(launcher, tree.file(QStringLiteral("run.bat")), 0, tree.path(), std::chrono::seconds(120));
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_FALSE(QFileInfo::exists(tree.file(QStringLiteral("staging"))));
    expectChildEnded(tree);
    // With no pass running, the end removes nothing.
    SetActiveStagingFolder(QString());
    EndRunningBatch();
    EXPECT_TRUE(QFileInfo::exists(tree.file(QStringLiteral("run.bat"))));
}

// However the program ends (here: killed outright), nothing it started goes on writing into the working
// folders; what a run before left working there is ended at the next start.
TEST(OpenAndWait, NoConverterOutlivesTheProgramThatStartedIt)
{
    TempTree tree;
    writeConverterThatNeverEnds(tree);
    const pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        SystemLauncher launcher(kBin);
        int failure = 0;
        launcher.launch(tree.file(QStringLiteral("run.bat")), QString(), tree.path(), 0, failure);
        ::pause();
        ::_exit(0);
    }
    ASSERT_TRUE(WaitServingEvents([&] { return QFileInfo::exists(tree.file(QStringLiteral("child.pid"))); },
                                  std::chrono::seconds(10)));
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
    expectChildEnded(tree);

    // Converters left working in the temporary folder's working folders by a run before: both methods'.
    TempTree temp;
    temp.mkdir(QStringLiteral("ps"));
    temp.mkdir(QStringLiteral("bw/current"));
    temp.mkdir(QStringLiteral("elsewhere"));
    qint64 leftover[2] = {};
    qint64 unrelated = 0;
    ASSERT_TRUE(QProcess::startDetached(QStringLiteral("sleep"), {QStringLiteral("300")},
                                        temp.file(QStringLiteral("ps")), &leftover[0]));
    ASSERT_TRUE(QProcess::startDetached(QStringLiteral("sleep"), {QStringLiteral("300")},
                                        temp.file(QStringLiteral("bw/current")), &leftover[1]));
    ASSERT_TRUE(QProcess::startDetached(QStringLiteral("sleep"), {QStringLiteral("300")},
                                        temp.file(QStringLiteral("elsewhere")), &unrelated));
    EndLeftoverConverters(temp.path());
    for (const qint64 pid : leftover) {
        EXPECT_TRUE(WaitServingEvents([&] { return hasEnded(static_cast<pid_t>(pid)); }, std::chrono::seconds(5)));
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    EXPECT_FALSE(hasEnded(static_cast<pid_t>(unrelated)));
    ::kill(static_cast<pid_t>(unrelated), SIGKILL);
}

TEST(BatchRunner, ParsesQuotesAndPercent)
{
    std::string reason;
    const auto command = ParseBatchLine("gs -sOutputFile=current-%%03d.jpg \"a b.pdf\"  x", reason);
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ(command->words, (std::vector<std::string> {"gs", "-sOutputFile=current-%03d.jpg", "a b.pdf", "x"}));
    EXPECT_FALSE(ParseBatchLine("echo %PATH%", reason).has_value());
    EXPECT_FALSE(ParseBatchLine("a | b", reason).has_value());
    EXPECT_FALSE(ParseBatchLine("a > out.txt", reason).has_value());
    EXPECT_FALSE(ParseBatchLine("a \"open", reason).has_value());
    EXPECT_TRUE(ParseBatchLine("a \"x > y\"", reason).has_value());
}

TEST(BatchRunner, DeletesWithWildcardsAndFindsProgramsLocallyFirst)
{
    TempTree tree;
    tree.write(QStringLiteral("current-001.JPG"), "1");
    tree.write(QStringLiteral("current-002.jpg"), "2");
    tree.write(QStringLiteral("keep.jpg"), "3");
    std::vector<std::string> ran;
    BatchRunner runner(nameOf(tree.path()), [&](const std::string& program, const std::vector<std::string>& args) {
        std::string line = program;
        for (const std::string& arg : args)
            line += ' ' + arg;
        ran.push_back(line);
        return 5;
    });
    std::string errors;
    EXPECT_EQ(runner.runLine("DEL current*.jpg", errors), 0);
    EXPECT_EQ(QDir(tree.path()).entryList(QDir::Files), QStringList {QStringLiteral("keep.jpg")});
    EXPECT_EQ(runner.runLine("del nothing.here", errors), 1);
    EXPECT_EQ(runner.runLine("md sub", errors), 0);
    EXPECT_TRUE(QFileInfo(tree.file(QStringLiteral("sub"))).isDir());

    makeExecutable(tree.write(QStringLiteral("sh"), "#!/bin/sh\n"));
    EXPECT_EQ(runner.findProgram("sh"), nameOf(tree.file(QStringLiteral("sh"))));
    EXPECT_EQ(runner.findProgram("true").empty(), false);
    EXPECT_EQ(runner.runLine("sh -c x", errors), 5);
    EXPECT_EQ(ran, std::vector<std::string> {nameOf(tree.file(QStringLiteral("sh"))) + " -c x"});

    errors.clear();
    EXPECT_LT(runner.runLine("goto end", errors), 0);
    EXPECT_NE(errors.find("goto"), std::string::npos);
}

TEST(BatchRunner, DeletesAndCreatesOnlyInsideItsWorkingFolder)
{
    TempTree tree;
    tree.mkdir(QStringLiteral("work/sub"));
    tree.write(QStringLiteral("work/sub/page.jpg"), "mine to delete");
    tree.write(QStringLiteral("x/holiday.jpg"), "the user's");
    tree.write(QStringLiteral("top.jpg"), "the user's");
    tree.write(QStringLiteral("workx/page.jpg"), "a sibling whose name starts like the working folder's");
    QFile::link(tree.file(QStringLiteral("x")), tree.file(QStringLiteral("work/out")));
    BatchRunner runner(nameOf(tree.file(QStringLiteral("work"))),
                       [](const std::string&, const std::vector<std::string>&) { return 0; });
    std::string errors;
    const std::string top = nameOf(tree.file(QStringLiteral("top.jpg")));
    for (const std::string& line :
         {std::string("del ..\\x\\*.jpg"), std::string("del ../top.jpg"), "del \\" + top.substr(1), "del " + top,
          std::string("del out\\*.jpg"), std::string("md ..\\made"), std::string("md out\\made"),
          std::string("del ..\\workx\\*.jpg"), std::string("md ../workx/made")}) {
        errors.clear();
        EXPECT_EQ(runner.runLine(line, errors), 1) << line;
        EXPECT_NE(errors.find("outside the working folder"), std::string::npos) << line;
    }
    EXPECT_TRUE(QFile::exists(tree.file(QStringLiteral("x/holiday.jpg"))));
    EXPECT_TRUE(QFile::exists(tree.file(QStringLiteral("top.jpg"))));
    EXPECT_TRUE(QFile::exists(tree.file(QStringLiteral("workx/page.jpg"))));
    EXPECT_FALSE(QFileInfo::exists(tree.file(QStringLiteral("made"))));
    EXPECT_FALSE(QFileInfo::exists(tree.file(QStringLiteral("workx/made"))));
    EXPECT_FALSE(QFileInfo::exists(tree.file(QStringLiteral("x/made"))));
    // Inside, by a relative or a full path, with switches and a comment set off by a tab.
    EXPECT_EQ(runner.runLine("rem\tdel sub\\page.jpg", errors), 0);
    EXPECT_TRUE(QFile::exists(tree.file(QStringLiteral("work/sub/page.jpg"))));
    EXPECT_EQ(runner.runLine("del /q /f sub\\page.jpg", errors), 0);
    EXPECT_FALSE(QFile::exists(tree.file(QStringLiteral("work/sub/page.jpg"))));
    EXPECT_EQ(runner.runLine("md " + nameOf(tree.file(QStringLiteral("work/sub/deeper"))), errors), 0);
    EXPECT_TRUE(QFileInfo(tree.file(QStringLiteral("work/sub/deeper"))).isDir());
}

TEST(BatchRunner, ExecutableReportsWhatItDoesNotUnderstand)
{
    TempTree tree;
    tree.write(QStringLiteral("bad.bat"), "@echo off\r\nset X=1\r\n");
    tree.write(QStringLiteral("good.bat"), "@echo off\r\nmd made\r\ndel \xc3\xa9t\xc3\xa9.jpg\r\n");
    tree.write(QStringLiteral("\u00c9T\u00c9.JPG"), "letter case differs beyond ASCII");
    const std::string batch = nameOf(kBin + QStringLiteral("/quarnel-batch"));
    EXPECT_EQ(RunProgramAndWait(batch, {nameOf(tree.file(QStringLiteral("bad.bat"))), nameOf(tree.path())},
                                nameOf(tree.path())),
              1);
    EXPECT_EQ(RunProgramAndWait(batch, {"good.bat"}, nameOf(tree.path())), 0);
    EXPECT_TRUE(QFileInfo(tree.file(QStringLiteral("made"))).isDir());
    EXPECT_FALSE(QFileInfo::exists(tree.file(QStringLiteral("\u00c9T\u00c9.JPG"))));
}

TEST(RemoveLeftoverWorkFolders, RemovesOnlyTheWorkFoldersARunLeftBehind)
{
    TempTree temp;
    TempTree outside;
    temp.write(QStringLiteral("quarnel-staging-Ab12Cd/.~report-001.jpg.part"), "half a page");
    temp.write(QStringLiteral("quarnel-staging-Ab12Cd/inner/x.jpg"), "x");
    temp.write(QStringLiteral("quarnel-ahead-Ef34Gh/ahead-7.jpg"), "x");
    temp.write(QStringLiteral("quarnel-ahead-file"), "not a folder");
    temp.write(QStringLiteral("quarnel-stagingX/keep.jpg"), "another name");
    temp.write(QStringLiteral("DEV2IVI.log"), "Started\r\n");
    outside.write(QStringLiteral("keep.jpg"), "mine");
    ASSERT_EQ(QFile::link(outside.path(), temp.file(QStringLiteral("quarnel-staging-link"))), true);

    RemoveLeftoverWorkFolders(temp.path());
    EXPECT_EQ(QDir(temp.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name),
              (QStringList {QStringLiteral("DEV2IVI.log"), QStringLiteral("quarnel-ahead-file"),
                            QStringLiteral("quarnel-staging-link"), QStringLiteral("quarnel-stagingX")}));
    EXPECT_EQ(TempTree::read(outside.file(QStringLiteral("keep.jpg"))), "mine");
}
