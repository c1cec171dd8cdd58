// gswin32c ARGUMENTS...: the Ghostscript console interpreter as the conversion batch file calls it, that is
// the system's gs, quiet. A small program rather than a shell script: it is started for every PDF, and a
// shell took longer to start than all the rest of the hand-over between two PDFs.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char* argv[])
{
    // "gs", "-q", the arguments after argv[0], and the terminating null.
    auto** args = static_cast<char**>(std::calloc(static_cast<std::size_t>(argc) + 2, sizeof(char*)));
    if (!args)
        return 126;
    args[0] = const_cast<char*>("gs");
    args[1] = const_cast<char*>("-q");
    for (int i = 1; i < argc; ++i)
        args[i + 1] = argv[i];
    ::execvp("gs", args);
    // As a shell would: 127 when there is no gs, 126 when it cannot be run.
    const int error = errno;
    std::fprintf(stderr, "gswin32c: gs: %s\n", std::strerror(error));
    return error == ENOENT ? 127 : 126;
}
