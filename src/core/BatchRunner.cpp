#include "core/BatchRunner.h"

#include "core/FileProcedures.h"
#include "core/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace quarnel {

std::optional<BatchCommand> ParseBatchLine(const QString& line, QString& reason)
{
    BatchCommand command;
    QString word;
    bool inWord = false;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == u'%') {
            if (i + 1 < line.size() && line[i + 1] == u'%') {
                word += u'%';
                inWord = true;
                ++i;
                continue;
            }
            reason = QStringLiteral("variables (%) are not supported");
            return std::nullopt;
        }
        if (c == u'"') {
            quoted = !quoted;
            inWord = true;
            continue;
        }
        if (!quoted && (c == u'|' || c == u'<' || c == u'>' || c == u'&')) {
            reason = QStringLiteral("pipes, redirection and command chaining are not supported");
            return std::nullopt;
        }
        if (!quoted && (c == u' ' || c == u'\t')) {
            if (inWord)
                command.words.append(word);
            word.clear();
            inWord = false;
            continue;
        }
        word += c;
        inWord = true;
    }
    if (quoted) {
        reason = QStringLiteral("a double quote is not closed");
        return std::nullopt;
    }
    if (inWord)
        command.words.append(word);
    return command;
}

BatchRunner::BatchRunner(QString workingFolder, ProgramRunner runProgram)
    : m_workingFolder(std::move(workingFolder))
    , m_runProgram(std::move(runProgram))
{ }

namespace {

// A del switch such as /q, /f or /a:h: a slash, one letter, an optional colon with letters.
bool isSwitch(const QString& argument)
{
    static const QRegularExpression pattern(QStringLiteral("^/[A-Za-z](:[-A-Za-z]*)?$"));
    return pattern.match(argument).hasMatch();
}

QString firstWord(const QString& line)
{
    static const QRegularExpression blank(QStringLiteral("\\s"));
    return line.section(blank, 0, 0);
}

} // namespace

// The path an argument names, when it lies inside the working folder (links followed as far as they
// exist); empty when it reaches outside.
QString BatchRunner::insideWorkingFolder(const QString& argument) const
{
    const QString root = QFileInfo(m_workingFolder).canonicalFilePath();
    if (root.isEmpty())
        return {};
    const QString path = QDir::cleanPath(QDir(root).filePath(QString(argument).replace(u'\\', u'/')));
    // The deepest part that exists decides where the path really goes.
    QString existing = path;
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const qsizetype slash = existing.lastIndexOf(u'/');
        if (slash <= 0)
            return {};
        rest = existing.mid(slash + 1) + (rest.isEmpty() ? QString() : u'/' + rest);
        existing = existing.left(slash);
    }
    const QString real = QFileInfo(existing).canonicalFilePath();
    if (real.isEmpty() || (real != root && !real.startsWith(root + u'/')))
        return {};
    return rest.isEmpty() ? real : real + u'/' + rest;
}

int BatchRunner::runFile(const QString& batchPath, QString& errors)
{
    QFile file(batchPath);
    if (!file.open(QIODevice::ReadOnly)) {
        errors += QStringLiteral("cannot read %1: %2\n").arg(batchPath, file.errorString());
        return 1;
    }
    int status = 0;
    const QStringList lines = QString::fromLocal8Bit(file.readAll()).split(u'\n');
    for (QString line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        status = runLine(line, errors);
        if (status < 0)
            return 1;
    }
    return status;
}

int BatchRunner::runLine(const QString& rawLine, QString& errors)
{
    QString line = rawLine.trimmed();
    if (line.startsWith(u'@'))
        line = line.mid(1).trimmed();
    const QString first = firstWord(line).toLower();
    if (first == QStringLiteral("rem") || line.startsWith(QStringLiteral("::")))
        return 0;
    if (first == QStringLiteral("echo")) {
        const QString rest = line.section(u' ', 1).trimmed();
        if (rest.compare(QStringLiteral("off"), Qt::CaseInsensitive) != 0
            && rest.compare(QStringLiteral("on"), Qt::CaseInsensitive) != 0)
            std::printf("%s\n", qPrintable(rest));
        return 0;
    }
    QString reason;
    const std::optional<BatchCommand> command = ParseBatchLine(line, reason);
    if (!command) {
        errors += QStringLiteral("not understood: %1 (%2)\n").arg(line, reason);
        return -1;
    }
    if (command->words.isEmpty())
        return 0;
    const QString verb = command->words.front().toLower();
    const QStringList arguments = command->words.mid(1);
    if (verb == QStringLiteral("del") || verb == QStringLiteral("erase"))
        return deleteFiles(arguments, errors);
    if (verb == QStringLiteral("mkdir") || verb == QStringLiteral("md"))
        return makeFolders(arguments, errors);
    const QString program = findProgram(command->words.front());
    if (program.isEmpty()) {
        errors += QStringLiteral("not understood: %1 (no such command or program)\n").arg(command->words.front());
        return -1;
    }
    return m_runProgram(program, arguments);
}

QString BatchRunner::findProgram(const QString& name) const
{
    const auto runnable = [](const QString& path) {
        const QFileInfo info(path);
        return info.isFile() && info.isExecutable();
    };
    if (name.contains(u'/'))
        return runnable(QDir(m_workingFolder).absoluteFilePath(name)) ? QDir(m_workingFolder).absoluteFilePath(name)
                                                                      : QString();
    const QString local = QDir(m_workingFolder).filePath(name);
    if (runnable(local))
        return local;
    for (const QString& folder : qEnvironmentVariable("PATH").split(u':', Qt::SkipEmptyParts)) {
        const QString candidate = QDir(folder).filePath(name);
        if (runnable(candidate))
            return candidate;
    }
    return {};
}

int BatchRunner::deleteFiles(const QStringList& arguments, QString& errors)
{
    int status = 0;
    for (const QString& argument : arguments) {
        if (isSwitch(argument))
            continue; // switches such as /q and /f change nothing here
        const QString path = insideWorkingFolder(argument);
        if (path.isEmpty()) {
            errors += QStringLiteral("%1 is outside the working folder\n").arg(argument);
            status = 1;
            continue;
        }
        const QString folder = FolderOf(path);
        const QString pattern = FileNameOf(path);
        const QDir dir(folder);
        bool any = false;
        for (const QString& entry : dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            if (!WildcardMatch(pattern, entry))
                continue;
            any = true;
            if (!QFile::remove(dir.filePath(entry))) {
                errors += QStringLiteral("cannot delete %1\n").arg(dir.filePath(entry));
                status = 1;
            }
        }
        if (!any) {
            errors += QStringLiteral("could not find %1\n").arg(path);
            status = 1;
        }
    }
    return status;
}

int BatchRunner::makeFolders(const QStringList& arguments, QString& errors)
{
    int status = 0;
    for (const QString& argument : arguments) {
        const QString path = insideWorkingFolder(argument);
        if (path.isEmpty()) {
            errors += QStringLiteral("%1 is outside the working folder\n").arg(argument);
            status = 1;
        } else if (QFileInfo::exists(path)) {
            errors += QStringLiteral("%1 already exists\n").arg(path);
            status = 1;
        } else if (!QDir().mkpath(path)) {
            errors += QStringLiteral("cannot create %1\n").arg(path);
            status = 1;
        }
    }
    return status;
}

int RunProgramAndWait(const QString& program, const QStringList& arguments, const QString& workingFolder)
{
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(program));
    for (const QString& argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);
    const QByteArray folder = QFile::encodeName(workingFolder);
    pid_t child = ::fork();
    if (child < 0)
        return 127;
    if (child == 0) {
        if (::chdir(folder.constData()) != 0)
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace quarnel
