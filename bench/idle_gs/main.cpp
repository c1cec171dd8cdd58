// gs standing in for Ghostscript with no work: writes page 1 where -sOutputFile= says, and ends. Run in
// the real one's place, it leaves only what the Ghostscript method itself costs around it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

int main(int argc, char* argv[])
{
    constexpr const char* kOption = "-sOutputFile=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kOption, std::strlen(kOption)) != 0)
            continue;
        std::string_view pattern(argv[i] + std::strlen(kOption));
        // "%03d" (or "%%03d" as a batch file passes it) is the page number.
        std::string name;
        for (std::size_t at = 0; at < pattern.size(); ++at) {
            if (pattern[at] != '%') {
                name += pattern[at];
                continue;
            }
            while (at < pattern.size() && pattern[at] == '%')
                ++at;
            std::size_t end = at;
            while (end < pattern.size() && pattern[end] != 'd')
                ++end;
            const int width = std::atoi(std::string(pattern.substr(at, end - at)).c_str());
            char number[32];
            std::snprintf(number, sizeof number, "%0*d", width, 1);
            name += number;
            at = end;
        }
        if (std::FILE* page = std::fopen(name.c_str(), "wb")) {
            std::fputs("page", page);
            std::fclose(page);
        }
    }
    return 0;
}
