#include "core/EndDeferral.h"

#include <utility>

namespace quarnel {

namespace {

int g_depth = 0;
std::function<void()> g_deferredEnd;

} // namespace

CriticalWork::CriticalWork()
{
    ++g_depth;
}

CriticalWork::~CriticalWork()
{
    if (--g_depth > 0 || !g_deferredEnd)
        return;
    // Taken first: the end may come back here (it usually ends the process).
    const std::function<void()> end = std::exchange(g_deferredEnd, nullptr);
    end();
}

bool CriticalWork::running()
{
    return g_depth > 0;
}

bool DeferEnd(std::function<void()> end)
{
    if (g_depth == 0)
        return false;
    if (!g_deferredEnd)
        g_deferredEnd = std::move(end);
    return true;
}

} // namespace quarnel
