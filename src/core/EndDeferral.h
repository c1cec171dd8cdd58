#pragma once

#include <functional>

namespace quarnel {

// Work that must not be cut in the middle by the program's end (a PDF's images being placed and its log
// line written). An end asked for meanwhile (SIGTERM, closing the window, the session's end) is carried
// out as soon as that work is over.
class CriticalWork final
{
public:
    CriticalWork();
    ~CriticalWork();
    CriticalWork(const CriticalWork&) = delete;
    CriticalWork& operator=(const CriticalWork&) = delete;

    // True while some critical work runs.
    static bool running();
};

// Keeps the end for later when critical work runs (true), so that the caller returns at once; false
// when the caller should end now. Only the first end asked for is kept.
bool DeferEnd(std::function<void()> end);

} // namespace quarnel
