// quarnel-render: the renderer worker. Reads requests on standard input and answers on standard
// output. Run by the program, not by people.
#include "render/MupdfRenderer.h"
#include "render/RenderWorker.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <malloc.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

using namespace quarnel::render;

namespace {

void writeReply(const Reply& reply)
{
    const std::string frame = Encode(reply);
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, frame.data() + done, frame.size() - done);
        if (n <= 0)
            std::_Exit(1); // the program went away
        done += static_cast<std::size_t>(n);
    }
}

#ifdef QUARNEL_TEST_HOOKS
// Test builds can be told to crash on one page (to prove the program survives it), to hang on one where
// no stop request reaches (to prove such a page cannot hold up the program), or to take this long over
// every page, within the page's own limit.
void obeyFaultHooks(int page)
{
    const auto number = [](const char* name) { return std::getenv(name) ? std::atoi(std::getenv(name)) : -1; };
    if (number("QUARNEL_RENDER_CRASH_PAGE") == page + 1)
        std::abort();
    if (number("QUARNEL_RENDER_HANG_PAGE") == page + 1)
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    if (const int slow = number("QUARNEL_RENDER_SLOW_MS"); slow > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(slow));
}
#endif

} // namespace

int main(int argc, char* argv[])
{
    // Never outlive the program: the kernel ends the worker when its parent goes, however it goes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Ctrl+C in a terminal reaches the whole foreground group: the program decides when the worker ends
    // (after the page it is placing), so the worker leaves the signal to it.
    ::signal(SIGINT, SIG_IGN);
    if (argc > 1 && std::atoll(argv[1]) != static_cast<long long>(::getppid()))
        return 0; // the parent was already gone before the request above took effect
    // Page bands are tens of megabytes: kept in the heap and reused from page to page rather than mapped
    // afresh (and faulted in page by page) for every band.
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    WorkerSettings settings;
    // The program may ask for another time limit per page (in seconds) after its process id.
    if (argc > 2 && std::atoi(argv[2]) > 0)
        settings.pageTimeLimitMs = std::atoi(argv[2]) * 1000LL;
#ifdef QUARNEL_TEST_HOOKS
    settings.beforePage = obeyFaultHooks;
#endif
    RenderWorker worker(settings, writeReply);
    LimitAddressSpace(worker.sharedMemory());
    // The program closed its end (every page still queued or rendering is dropped, unfinished pages are
    // never renamed to their final names), or sent what is not a request of ours: the worker ends now.
    std::_Exit(ServeRequests(STDIN_FILENO, worker));
}
