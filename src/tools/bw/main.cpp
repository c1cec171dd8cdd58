// quarnel-bw INPUT.pdf OUTPUT-FOLDER: the black/white converter behind bw/convert.bat. Renders every
// page, turns it into pure black and white pixels by a threshold, and writes one JPEG per page into the
// output folder, named so that name order is page order.
#include "render/MupdfRenderer.h"
#include "render/RenderProtocol.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quarnel::render;

namespace {

constexpr double kDpi = 200; // fax-like: sharp text, small files
constexpr int kQuality = 90;
constexpr int kGiveUpAfter = 10; // consecutive pages that fail: the page tree is broken

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: quarnel-bw INPUT.pdf OUTPUT-FOLDER\n");
        return 2;
    }
    const std::string folder = argv[2];
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(folder.c_str());
        return 1;
    }
    // The renderer's own memory budget, and its bound on the address space once the watchdog runs.
    MemoryBudget budget(kRendererMemoryBytes);
    MupdfRenderer renderer(32u << 20, std::min<std::size_t>(512u << 20, kRendererMemoryBytes), &budget);
    int pages = 0;
    std::string error;
    if (!renderer.open(argv[1], pages, error)) {
        std::fprintf(stderr, "quarnel-bw: %s: %s\n", argv[1], error.c_str());
        return 1;
    }

    // Stops a page that takes too long.
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    std::atomic<long long> started {0};
    const auto nowMs = [] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    };
    std::thread watchdog([&] {
        std::unique_lock guard(lock);
        while (!done) {
            wake.wait_for(guard, std::chrono::milliseconds(200));
            const long long since = started;
            if (since && nowMs() - since > kPageTimeLimitSeconds * 1000LL)
                renderer.requestAbort();
        }
    });
    LimitAddressSpace(budget.limit());

    int written = 0;
    int failedInRow = 0;
    for (int page = 0; page < pages && failedInRow < kGiveUpAfter; ++page) {
        char name[32];
        std::snprintf(name, sizeof name, "/page-%06d.jpg", page + 1);
        PageRequest request;
        request.page = page;
        request.dpi = kDpi;
        request.quality = kQuality;
        request.blackWhite = true;
        request.target = folder + name;
        ::unlink(request.target.c_str());
        started = nowMs();
        const PageResult result = renderer.render(request);
        started = 0;
        if (result.ok) {
            ++written;
            failedInRow = 0;
        } else {
            ++failedInRow;
            std::fprintf(stderr, "quarnel-bw: page %d: %s\n", page + 1, result.error.c_str());
        }
    }
    {
        const std::lock_guard guard(lock);
        done = true;
    }
    wake.notify_all();
    watchdog.join();
    // Success only with every page: a page that could not be written (no room, a name too long, memory)
    // makes the whole conversion fail, so that it is tried again rather than placed incomplete.
    return written == pages && pages > 0 ? 0 : 1;
}
