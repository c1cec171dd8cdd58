#pragma once

// "*" any run of characters, "?" any one. Plain C++ so that the batch runner (which has no Qt) and the
// program match names alike; letter case is the caller's: both sides come folded already.
#include <cstddef>

namespace quarnel {

template <typename Text> bool MatchFolded(const Text& pattern, const Text& name)
{
    // Iterative matcher with one backtrack point: linear enough for file names, no recursion.
    const auto star = static_cast<typename Text::value_type>('*');
    const auto any = static_cast<typename Text::value_type>('?');
    std::size_t p = 0, n = 0, starN = 0;
    bool starSeen = false;
    std::size_t starP = 0;
    const auto patternSize = static_cast<std::size_t>(pattern.size());
    const auto nameSize = static_cast<std::size_t>(name.size());
    while (n < nameSize) {
        if (p < patternSize && (pattern[p] == any || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < patternSize && pattern[p] == star) {
            starP = p++;
            starN = n;
            starSeen = true;
        } else if (starSeen) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < patternSize && pattern[p] == star)
        ++p;
    return p == patternSize;
}

} // namespace quarnel
