// quarnel-batch FILE.bat [WORKING-FOLDER]: runs a batch file the way Quarnel's converters need.
#include "core/BatchRunner.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char* argv[])
{
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
