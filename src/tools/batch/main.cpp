// quarnel-batch FILE.bat [WORKING-FOLDER]: runs a batch file the way Quarnel's converters need.
#include "core/BatchRunner.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

// Ends this runner and everything it started (its process group).
void endGroup(int)
{
    ::kill(0, SIGKILL);
}

// Started by the program, the runner does not outlive it: when the program ends, however it ends, the
// kernel signals the runner, which ends its whole group, so that no converter goes on writing into a
// working folder the next run uses.
void endWithParent()
{
    const char* parent = std::getenv("QUARNEL_PARENT_PID");
    if (!parent || ::getpgrp() != ::getpid())
        return; // run by hand, or not in a group of its own: nothing to tie it to
    struct sigaction action = {};
    action.sa_handler = endGroup;
    ::sigaction(SIGTERM, &action, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The program may already have ended before the signal was asked for.
    if (std::to_string(::getppid()) != parent)
        endGroup(0);
}

} // namespace

int main(int argc, char* argv[])
{
    endWithParent();
    // Names are matched without regard to letter case, in Unicode also where the locale is plain "C".
    if (!std::setlocale(LC_CTYPE, "") || MB_CUR_MAX == 1)
        std::setlocale(LC_CTYPE, "C.UTF-8");
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: quarnel-batch FILE.bat [WORKING-FOLDER]\n");
        return 2;
    }
    std::string folder;
    if (argc == 3) {
        folder = argv[2];
    } else if (char* current = ::getcwd(nullptr, 0)) {
        folder = current;
        std::free(current);
    }
    const std::string batch = argv[1][0] == '/' || folder.empty() ? std::string(argv[1]) : folder + '/' + argv[1];
    quarnel::BatchRunner runner(folder, [&folder](const std::string& program, const std::vector<std::string>& args) {
        return quarnel::RunProgramAndWait(program, args, folder);
    });
    std::string errors;
    const int status = runner.runFile(batch, errors);
    if (!errors.empty())
        std::fprintf(stderr, "quarnel-batch: %s", errors.c_str());
    return status;
}
