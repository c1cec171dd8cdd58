#include "core/BatchRunner.h"

#include "core/Wildcard.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quarnel {

std::optional<BatchCommand> ParseBatchLine(const std::string& line, std::string& reason)
{
    // Byte by byte: every character this looks at is ASCII, and no byte of a longer UTF-8 character is.
    BatchCommand command;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '%') {
            if (i + 1 < line.size() && line[i + 1] == '%') {
                word += '%';
                inWord = true;
                ++i;
                continue;
            }
            reason = "variables (%) are not supported";
            return std::nullopt;
        }
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
            continue;
        }
        if (!quoted && (c == '|' || c == '<' || c == '>' || c == '&')) {
            reason = "pipes, redirection and command chaining are not supported";
            return std::nullopt;
        }
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                command.words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        word += c;
        inWord = true;
    }
    if (quoted) {
        reason = "a double quote is not closed";
        return std::nullopt;
    }
    if (inWord)
        command.words.push_back(word);
    return command;
}

BatchRunner::BatchRunner(std::string workingFolder, ProgramRunner runProgram)
    : m_workingFolder(std::move(workingFolder))
    , m_runProgram(std::move(runProgram))
{ }

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::string lowered(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool isAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A del switch such as /q, /f or /a:h: a slash, one letter, an optional colon with letters.
bool isSwitch(const std::string& argument)
{
    if (argument.size() < 2 || argument[0] != '/' || !isAsciiLetter(argument[1]))
        return false;
    if (argument.size() == 2)
        return true;
    return argument[2] == ':'
        && std::all_of(argument.begin() + 3, argument.end(), [](char c) { return c == '-' || isAsciiLetter(c); });
}

std::string joined(const std::string& folder, const std::string& name)
{
    if (!name.empty() && name.front() == '/')
        return name;
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + '/' + name;
}

// "a//b/./c/../d" as "a/b/d", without looking at the disk.
std::string cleaned(const std::string& path)
{
    std::vector<std::string> parts;
    std::stringstream stream(path);
    std::string part;
    while (std::getline(stream, part, '/')) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string result;
    for (const std::string& each : parts)
        result += '/' + each;
    return result.empty() ? std::string("/") : result;
}

bool exists(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0;
}

bool isFolder(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string canonical(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// The characters of a UTF-8 name, folded to lower case; a byte that is not UTF-8 stands for itself.
std::u32string folded(const std::string& name)
{
    std::u32string result;
    for (std::size_t i = 0; i < name.size();) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const int length = byte < 0x80 ? 1
            : (byte >> 5) == 0x6       ? 2
            : (byte >> 4) == 0xe       ? 3
            : (byte >> 3) == 0x1e      ? 4
                                       : 0;
        char32_t c = length == 1 ? byte : (length == 2 ? byte & 0x1f : (length == 3 ? byte & 0x0f : byte & 0x07));
        bool valid = length > 0 && i + static_cast<std::size_t>(length) <= name.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(name[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xc0) == 0x80;
            c = (c << 6) | (next & 0x3f);
        }
        if (!valid) {
            result += static_cast<char32_t>(0xdc00 + byte);
            ++i;
            continue;
        }
        result += static_cast<char32_t>(std::towlower(static_cast<wint_t>(c)));
        i += static_cast<std::size_t>(length);
    }
    return result;
}

// "*" any run of characters, "?" any one; letter case does not count, as on the system the batch files
// were written for.
bool wildcardMatch(const std::string& pattern, const std::string& name)
{
    return MatchFolded(folded(pattern), folded(name));
}

bool makePath(const std::string& path)
{
    std::string built;
    std::stringstream stream(path);
    std::string part;
    while (std::getline(stream, part, '/')) {
        if (part.empty())
            continue;
        built += '/' + part;
        if (::mkdir(built.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return isFolder(path);
}

} // namespace

// The path an argument names, when it lies inside the working folder (links followed as far as they
// exist); empty when it reaches outside.
std::string BatchRunner::insideWorkingFolder(const std::string& argument) const
{
    const std::string root = canonical(m_workingFolder);
    if (root.empty())
        return {};
    std::string forward = argument;
    std::replace(forward.begin(), forward.end(), '\\', '/');
    const std::string path = cleaned(joined(root, forward));
    // The deepest part that exists decides where the path really goes.
    std::string existing = path;
    std::string rest;
    while (!exists(existing)) {
        const std::size_t slash = existing.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return {};
        rest = existing.substr(slash + 1) + (rest.empty() ? std::string() : '/' + rest);
        existing = existing.substr(0, slash);
    }
    const std::string real = canonical(existing);
    if (real.empty() || (real != root && real.rfind(root + '/', 0) != 0))
        return {};
    return rest.empty() ? real : real + '/' + rest;
}

int BatchRunner::runFile(const std::string& batchPath, std::string& errors)
{
    std::ifstream file(batchPath, std::ios::binary);
    if (!file) {
        errors += "cannot read " + batchPath + ": " + std::strerror(errno) + '\n';
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    int status = 0;
    std::optional<int> programs; // the first failing program's status, else 0 once a program ran
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (trimmed(line).empty())
            continue;
        m_ranProgram = false;
        status = runLine(line, errors);
        if (status < 0)
            return 1;
        if (m_ranProgram && programs.value_or(0) == 0)
            programs = status;
    }
    // What the converters said decides: a failure is not hidden by the clean-up lines after it, nor a
    // success by a clean-up that found nothing to delete.
    return programs.value_or(status);
}

int BatchRunner::runLine(const std::string& rawLine, std::string& errors)
{
    std::string line = trimmed(rawLine);
    if (!line.empty() && line.front() == '@')
        line = trimmed(line.substr(1));
    const std::string first = lowered(line.substr(0, std::find_if(line.begin(), line.end(), isBlank) - line.begin()));
    if (first == "rem" || line.rfind("::", 0) == 0)
        return 0;
    if (first == "echo") {
        const std::size_t space = line.find(' ');
        const std::string rest = space == std::string::npos ? std::string() : trimmed(line.substr(space + 1));
        if (lowered(rest) != "off" && lowered(rest) != "on")
            std::printf("%s\n", rest.c_str());
        return 0;
    }
    std::string reason;
    const std::optional<BatchCommand> command = ParseBatchLine(line, reason);
    if (!command) {
        errors += "not understood: " + line + " (" + reason + ")\n";
        return -1;
    }
    if (command->words.empty())
        return 0;
    const std::string verb = lowered(command->words.front());
    const std::vector<std::string> arguments(command->words.begin() + 1, command->words.end());
    if (verb == "del" || verb == "erase")
        return deleteFiles(arguments, errors);
    if (verb == "mkdir" || verb == "md")
        return makeFolders(arguments, errors);
    const std::string program = findProgram(command->words.front());
    if (program.empty()) {
        errors += "not understood: " + command->words.front() + " (no such command or program)\n";
        return -1;
    }
    m_ranProgram = true;
    return m_runProgram(program, arguments);
}

std::string BatchRunner::findProgram(const std::string& name) const
{
    const auto runnable = [](const std::string& path) {
        struct stat info = {};
        return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos) {
        const std::string path = joined(m_workingFolder, name);
        return runnable(path) ? path : std::string();
    }
    const std::string local = joined(m_workingFolder, name);
    if (runnable(local))
        return local;
    const char* searchPath = std::getenv("PATH");
    std::stringstream folders(searchPath ? searchPath : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty())
            continue;
        const std::string candidate = joined(folder, name);
        if (runnable(candidate))
            return candidate;
    }
    return {};
}

int BatchRunner::deleteFiles(const std::vector<std::string>& arguments, std::string& errors)
{
    int status = 0;
    for (const std::string& argument : arguments) {
        if (isSwitch(argument))
            continue; // switches such as /q and /f change nothing here
        const std::string path = insideWorkingFolder(argument);
        if (path.empty()) {
            errors += argument + " is outside the working folder\n";
            status = 1;
            continue;
        }
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
        const std::string pattern = path.substr(slash + 1);
        std::vector<std::string> names;
        if (DIR* listing = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(listing)) {
                const std::string name = entry->d_name;
                // Files of every kind, hidden ones too; never folders.
                if (name != "." && name != ".." && !isFolder(joined(folder, name)) && wildcardMatch(pattern, name))
                    names.push_back(name);
            }
            ::closedir(listing);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (::unlink(joined(folder, name).c_str()) != 0) {
                errors += "cannot delete " + joined(folder, name) + '\n';
                status = 1;
            }
        }
        if (names.empty()) {
            errors += "could not find " + path + '\n';
            status = 1;
        }
    }
    return status;
}

int BatchRunner::makeFolders(const std::vector<std::string>& arguments, std::string& errors)
{
    int status = 0;
    for (const std::string& argument : arguments) {
        const std::string path = insideWorkingFolder(argument);
        if (path.empty()) {
            errors += argument + " is outside the working folder\n";
            status = 1;
        } else if (exists(path)) {
            errors += path + " already exists\n";
            status = 1;
        } else if (!makePath(path)) {
            errors += "cannot create " + path + '\n';
            status = 1;
        }
    }
    return status;
}

int RunProgramAndWait(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& workingFolder)
{
    std::vector<std::string> storage {program};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);
    pid_t child = ::fork();
    if (child < 0)
        return 127;
    if (child == 0) {
        if (::chdir(workingFolder.c_str()) != 0)
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
