#include "core/ProcessLaunch.h"

#include "core/FileProcedures.h"
#include "core/Paths.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <set>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quarnel {

namespace {

constexpr int kObjectErrorBase = -2147221504;

// The process group of the batch file being waited for, so the program's end can take it along.
pid_t g_runningGroup = 0;
std::set<pid_t> g_workers;

QString stripQuotes(const QString& text)
{
    if (text.size() >= 2 && text.startsWith(u'"') && text.endsWith(u'"'))
        return text.mid(1, text.size() - 2);
    return text;
}

} // namespace

RuntimeError ShellError(int code)
{
    const auto numbered = [code](const char* message) {
        return RuntimeError(kObjectErrorBase + 1048 + code, QString::fromLatin1(message));
    };
    switch (code) {
    case 0:
    case 8:
        return RuntimeError(7, QStringLiteral("Out of memory"));
    case 2:
        return RuntimeError(53, QStringLiteral("File not found"));
    case 3:
        return RuntimeError(76, QStringLiteral("Path not found"));
    case 5:
        return RuntimeError(75, QStringLiteral("Path/file access error"));
    case 11:
        return numbered("The executable file is invalid or corrupt");
    case 26:
        return RuntimeError(75, QStringLiteral("A sharing violation occurred."));
    case 27:
        return numbered("This file type does not have a valid file association.");
    case 28:
        return RuntimeError(
            286, QStringLiteral("The file could not be opened due to time out. Please try again in a moment."));
    case 29:
        return RuntimeError(285,
                            QStringLiteral("The file could not be opened because the DDE transaction failed. "
                                           "Please try again in a moment."));
    case 30:
        return RuntimeError(285,
                            QStringLiteral("The file could not be opened because the target application is busy. "
                                           "Please try again in a moment."));
    case 31:
        return numbered("No application is associated with this file type.");
    case 32:
        return RuntimeError(48, QStringLiteral("The specified dynamic-link library was not found."));
    default:
        return numbered("An error occurred occurred whilst trying to open or print the selected file.");
    }
}

SystemLauncher::SystemLauncher(QString programFolder)
    : m_programFolder(std::move(programFolder))
{ }

pid_t SystemLauncher::launch(const QString& file, const QString& parameters, const QString& directory, int,
                             int& failure)
{
    failure = 0;
    const QString path = QDir(directory.isEmpty() ? QDir::currentPath() : directory).absoluteFilePath(file);
    const QFileInfo info(path);
    if (!info.exists()) {
        failure = 2;
        return 0;
    }
    if (!directory.isEmpty() && !QFileInfo(directory).isDir()) {
        failure = 3;
        return 0;
    }
    QStringList argv;
    if (info.isFile() && info.suffix().compare(QStringLiteral("bat"), Qt::CaseInsensitive) == 0) {
        argv = {m_programFolder + QStringLiteral("/quarnel-batch"), path,
                directory.isEmpty() ? info.absolutePath() : directory};
    } else if (info.isFile() && info.isExecutable()) {
        argv = {path};
        if (!parameters.isEmpty())
            argv += QProcess::splitCommand(parameters);
    } else {
        // Documents and folders go to the desktop: there is no process of ours to wait for.
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            failure = 31;
        return 0;
    }
    std::vector<QByteArray> storage;
    for (const QString& word : std::as_const(argv))
        storage.push_back(NativeName(word));
    std::vector<char*> args;
    for (QByteArray& word : storage)
        args.push_back(word.data());
    args.push_back(nullptr);
    const QByteArray folder = NativeName(directory.isEmpty() ? info.absolutePath() : directory);
    // The converters find the program's own tools (the black/white converter) before the system's.
    const QByteArray searchPath = "PATH=" + NativeName(m_programFolder) + ':' + qgetenv("PATH");
    std::vector<char*> environment;
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, "PATH=", 5) != 0)
            environment.push_back(*variable);
    environment.push_back(const_cast<char*>(searchPath.constData()));
    // The batch runner ends itself and all it started when this process ends, however it ends.
    const QByteArray parent = QByteArray(kParentPidVariable) + '=' + QByteArray::number(::getpid());
    environment.push_back(const_cast<char*>(parent.constData()));
    environment.push_back(nullptr);
    // Spawned rather than forked: a fork copies the page tables of this whole process first, which cost
    // milliseconds for every PDF a converter is started for.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDWR, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_RDWR, 0);
    ::posix_spawn_file_actions_addchdir_np(&actions, folder.constData());
    // A group of its own, so that a converter that runs too long is ended with all it started.
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = 0;
    const int error = ::posix_spawn(&child, args[0], &actions, &attributes, args.data(), environment.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        // In the words the callers already know: not found, no access, no room.
        failure = error == ENOENT ? 2 : (error == ENOTDIR ? 3 : (error == EACCES || error == EPERM ? 5 : 8));
        return 0;
    }
    return child;
}

int GShell(Launcher& launcher, const QString& fileName, qint32 windowStyle, const QString& parameters,
           const QString& directory, const QString& operation, std::optional<RuntimeError>& error, pid_t* started)
{
    Q_UNUSED(operation);
    error.reset();
    if (fileName.toUpper().contains(QStringLiteral(".EXE")))
        windowStyle = 0;
    if (parameters.isEmpty() && directory.isEmpty())
        windowStyle = 1;
    int failure = 0;
    const pid_t pid = launcher.launch(stripQuotes(fileName), parameters, directory, windowStyle, failure);
    if (started)
        *started = pid;
    if (failure >= 0 && failure <= 32 && failure != 0) {
        error = ShellError(failure);
        return failure;
    }
    return 42; // accepted
}

QString& activeStagingFolder()
{
    static QString folder;
    return folder;
}

void SetActiveStagingFolder(const QString& folder)
{
    activeStagingFolder() = folder;
}

QString& renderAheadFolder()
{
    static QString folder;
    return folder;
}

void SetRenderAheadFolder(const QString& folder)
{
    renderAheadFolder() = folder;
}

void EndRunningBatch()
{
    if (g_runningGroup > 0)
        ::kill(-g_runningGroup, SIGKILL);
    for (const QString& folder : {activeStagingFolder(), renderAheadFolder()})
        RemoveFolderContents(folder, true);
}

void RegisterWorkerProcess(qint64 pid)
{
    if (pid > 0)
        g_workers.insert(static_cast<pid_t>(pid));
}

void UnregisterWorkerProcess(qint64 pid)
{
    g_workers.erase(static_cast<pid_t>(pid));
}

void EndConverters()
{
    for (const pid_t pid : g_workers)
        ::kill(pid, SIGKILL);
    // Gone once it can be waited for; not reaped here (the process object does that), and not waited for
    // past a second (a process stuck in the kernel).
    QElapsedTimer clock;
    clock.start();
    for (const pid_t pid : g_workers) {
        for (;;) {
            siginfo_t info {};
            const int result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
            if ((result == 0 && info.si_pid == pid) || (result < 0 && errno != EINTR) || clock.elapsed() > 1000)
                break;
            ::usleep(1000);
        }
    }
    g_workers.clear();
    EndRunningBatch();
}

void EndLeftoverConverters(const QString& tempFolder)
{
    const QByteArray ps = NativeName(tempFolder + QStringLiteral("/ps"));
    const QByteArray bw = NativeName(tempFolder + QStringLiteral("/bw"));
    const auto within = [](const QByteArray& path, const QByteArray& folder) {
        return path == folder || path.startsWith(folder + '/');
    };
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (number <= 0 || *end != '\0' || number == self)
            continue;
        const pid_t pid = static_cast<pid_t>(number);
        struct stat info = {};
        if (::fstatat(::dirfd(proc), entry->d_name, &info, 0) != 0 || info.st_uid != ::geteuid())
            continue;
        char cwd[4096];
        const QByteArray link = QByteArray("/proc/") + entry->d_name + "/cwd";
        const ssize_t length = ::readlink(link.constData(), cwd, sizeof cwd);
        if (length <= 0 || length == static_cast<ssize_t>(sizeof cwd))
            continue;
        const QByteArray folder(cwd, length);
        if (!within(folder, ps) && !within(folder, bw))
            continue;
        // Only what works in those folders (the batch runner, the converters it started): a group id
        // could be anyone's.
        ::kill(pid, SIGKILL);
    }
    ::closedir(proc);
}

void RemoveLeftoverWorkFolders(const QString& tempFolder)
{
    DIR* dir = ::opendir(NativeName(tempFolder).constData());
    if (!dir)
        return;
    std::vector<QString> leftovers;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArrayView name(entry->d_name);
        if (!name.startsWith(kStagingFolderPrefix) && !name.startsWith(kAheadFolderPrefix))
            continue;
        struct stat info = {};
        if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)
            && info.st_uid == ::geteuid())
            leftovers.push_back(tempFolder + u'/' + NameFromNative(name));
    }
    ::closedir(dir);
    for (const QString& folder : leftovers)
        RemoveFolderContents(folder, true);
}

bool WaitServingEvents(const std::function<bool()>& condition, std::chrono::milliseconds timeLimit,
                       std::chrono::milliseconds poll)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() >= timeLimit.count())
            return false;
        if (QCoreApplication::instance()) {
            QEventLoop loop;
            QTimer::singleShot(static_cast<int>(poll.count()), &loop, &QEventLoop::quit);
            loop.exec();
        } else {
            ::usleep(static_cast<useconds_t>(poll.count() * 1000));
        }
    }
    return true;
}

namespace {

// Waits, serving events, until the process has exited (woken the moment it does, where the kernel can
// tell through a process descriptor) or the time limit has passed; true when it exited.
bool waitForExit(pid_t pid, const std::function<bool()>& exited, std::chrono::milliseconds timeLimit)
{
    const int descriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (descriptor < 0 || !QCoreApplication::instance())
        return WaitServingEvents(exited, timeLimit, std::chrono::milliseconds(20));
    QEventLoop loop;
    QSocketNotifier ended(descriptor, QSocketNotifier::Read);
    QObject::connect(&ended, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(static_cast<int>(std::min<qint64>(timeLimit.count(), std::numeric_limits<int>::max())));
    if (!exited())
        loop.exec();
    ended.setEnabled(false);
    ::close(descriptor);
    return exited();
}

} // namespace

qint32 OpenAndWait(Launcher& launcher, const QString& fileName, qint32 windowStyle, const QString& directory,
                   std::chrono::milliseconds timeLimit)
{
    if (windowStyle < 0 || windowStyle > 6)
        windowStyle = 6;
    std::optional<RuntimeError> error;
    pid_t pid = 0;
    GShell(launcher, fileName, windowStyle, QString(), directory, QStringLiteral("open"), error, &pid);
    if (error)
        return -1;
    if (pid <= 0)
        return 0;
    // Noticed without reaping, so that the group id stays the batch file's until its group is ended.
    const auto exited = [pid] {
        siginfo_t info {};
        return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
    };
    g_runningGroup = pid;
    const bool inTime = waitForExit(pid, exited, timeLimit);
    g_runningGroup = 0;
    // Whatever the batch file left running in its group, or all of it when it ran too long, ends here.
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (!inTime)
        return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace quarnel
