#pragma once

// Plain C++ with no Qt: the batch runner is a process started for every PDF a converter is given, and
// loading Qt's libraries cost it more than the rest of its start.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quarnel {

// One command of a batch file: its words with quotes removed and "%%" turned into "%".
struct BatchCommand
{
    std::vector<std::string> words;
};

// Splits a batch line into words: blanks separate them, double quotes group them, "%%" stands for "%".
// Returns nothing (with a reason) for what this runner does not understand: variables, pipes,
// redirection, command chaining.
std::optional<BatchCommand> ParseBatchLine(const std::string& line, std::string& reason);

// Runs the batch file's lines in the given working folder, the way the program's two batch files need:
// "@echo off", "rem", "del" (names matched without regard to letter case, wildcards allowed),
// "mkdir"/"md", and programs looked up first in the working folder, then on PATH. Returns the status
// of the first program that failed, else 0 when programs ran, else the last command's; anything it
// does not understand stops it with a message and status 1.
// Paths and names are bytes in the locale's encoding (UTF-8).
class BatchRunner final
{
public:
    using ProgramRunner = std::function<int(const std::string& program, const std::vector<std::string>& arguments)>;

    BatchRunner(std::string workingFolder, ProgramRunner runProgram);

    int runFile(const std::string& batchPath, std::string& errors);
    int runLine(const std::string& line, std::string& errors);

    // The program a command word names: in the working folder first, then on PATH; empty if none.
    std::string findProgram(const std::string& name) const;

private:
    int deleteFiles(const std::vector<std::string>& arguments, std::string& errors);
    int makeFolders(const std::vector<std::string>& arguments, std::string& errors);
    std::string insideWorkingFolder(const std::string& argument) const;

    std::string m_workingFolder;
    ProgramRunner m_runProgram;
    bool m_ranProgram = false; // the line just run started a program
};

// Starts a program with arguments in a folder and waits for it; its exit status, or 127 when it
// cannot be started.
int RunProgramAndWait(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingFolder);

} // namespace quarnel
