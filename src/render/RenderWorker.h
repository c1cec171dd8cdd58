#pragma once

#include "render/RenderProtocol.h"

#include <functional>
#include <memory>

namespace quarnel::render {

struct WorkerSettings
{
    long long pageTimeLimitMs = kPageTimeLimitSeconds * 1000LL;
    // Past its limit a page is asked to stop; one that does not stop within this is answered for, so
    // that the program never waits on it (the worker is then replaced).
    long long stopGraceMs = 3000;
    // Called on the rendering thread before each page, with the page's number from 0 (tests make pages
    // crash, hang or crawl with it).
    std::function<void(int page)> beforePage;
};

// The renderer worker's work: renders pages on as many threads as it has cores to run on (as many as
// the memory budget has room for), each with its own MuPDF context, and counts the pages of PDFs on a
// thread of its own. A page that runs past its time limit is stopped, and one that needs more memory
// than its share fails. Replies go to the sink, one at a time, from the worker's threads.
class RenderWorker final
{
public:
    using ReplySink = std::function<void(const Reply&)>;

    RenderWorker(WorkerSettings settings, ReplySink sink);
    ~RenderWorker();
    RenderWorker(const RenderWorker&) = delete;
    RenderWorker& operator=(const RenderWorker&) = delete;

    void handle(const Request& request);

    unsigned renderThreads() const;
    // The memory all its renderers may hold together.
    std::size_t sharedMemory() const;

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

// Hands the requests read from `input` to the worker until the program closes its end: 0 then, 2 when
// what came is not a request of ours.
int ServeRequests(int input, RenderWorker& worker);

} // namespace quarnel::render
