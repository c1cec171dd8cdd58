#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace quarnel {

// One command of a batch file: its words with quotes removed and "%%" turned into "%".
struct BatchCommand
{
    QStringList words;
};

// Splits a batch line into words: blanks separate them, double quotes group them, "%%" stands for "%".
// Returns nothing (with a reason) for what this runner does not understand: variables, pipes,
// redirection, command chaining.
std::optional<BatchCommand> ParseBatchLine(const QString& line, QString& reason);

// Runs the batch file's lines in the given working folder, the way the program's two batch files need:
// "@echo off", "rem", "del" (names matched without regard to letter case, wildcards allowed),
// "mkdir"/"md", and programs looked up first in the working folder, then on PATH. Returns the status
// of the last command; anything it does not understand stops it with a message and status 1.
class BatchRunner final
{
public:
    using ProgramRunner = std::function<int(const QString& program, const QStringList& arguments)>;

    BatchRunner(QString workingFolder, ProgramRunner runProgram);

    int runFile(const QString& batchPath, QString& errors);
    int runLine(const QString& line, QString& errors);

    // The program a command word names: in the working folder first, then on PATH; empty if none.
    QString findProgram(const QString& name) const;

private:
    int deleteFiles(const QStringList& arguments, QString& errors);
    int makeFolders(const QStringList& arguments, QString& errors);
    QString insideWorkingFolder(const QString& argument) const;

    QString m_workingFolder;
    ProgramRunner m_runProgram;
};

// Starts a program with arguments in a folder and waits for it; its exit status, or 127 when it
// cannot be started.
int RunProgramAndWait(const QString& program, const QStringList& arguments, const QString& workingFolder);

} // namespace quarnel
