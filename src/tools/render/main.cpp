// quarnel-render: the renderer worker. Reads requests on standard input and answers on standard
// output; renders pages on as many threads as it has cores to run on (as many as the memory budget has
// room for), each with its own MuPDF context. A page that runs past its time limit is stopped, and one
// that needs more memory than its share fails. Run by the program, not by people.
#include "conversion/render/MupdfRenderer.h"
#include "conversion/render/RenderProtocol.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace quarnel::render;

namespace {

std::mutex g_outputLock;

void reply(const Message& message)
{
    const std::string frame = EncodeMessage(message);
    const std::lock_guard lock(g_outputLock);
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, frame.data() + done, frame.size() - done);
        if (n <= 0)
            std::_Exit(1); // the program went away
        done += static_cast<std::size_t>(n);
    }
}

struct Job
{
    std::string id;
    std::string path;
    PageRequest request;
    int crowded = 0; // times the page found the shared memory taken
    bool ahead = false; // asked for before it is needed: waits while any page needed now waits
};

// How the worker's memory is shared out: every renderer draws from one budget, none takes more than
// its own share of it, and there are as many renderers as cores while each can have room for a page.
struct MemoryPlan
{
    std::size_t shared = kRendererMemoryBytes;
    std::size_t perRenderer = 0;
    unsigned threads = 1;
};

// The cores the worker may run on: a worker confined to some of the machine's cores (a container, a
// taskset) gains nothing from threads for the others, and each would hold its own copy of a document.
unsigned usableCores()
{
    for (int count = CPU_SETSIZE; count <= (1 << 16); count *= 2) {
        cpu_set_t* set = CPU_ALLOC(count);
        if (!set)
            break;
        const std::size_t size = CPU_ALLOC_SIZE(count);
        const bool read = ::sched_getaffinity(0, size, set) == 0;
        const int cores = read ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (read)
            return static_cast<unsigned>(std::max(1, cores));
        if (errno != EINVAL)
            break;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

MemoryPlan planFor(unsigned cores)
{
    constexpr std::size_t kOrdinaryPage = 48u << 20; // a text page at 300 dpi with room to spare
    constexpr std::size_t kOneRendererAtMost = 512u << 20;
    MemoryPlan plan;
    const auto fit = static_cast<unsigned>(plan.shared / kOrdinaryPage);
    plan.threads = std::clamp(cores, 1u, std::max(1u, fit));
    plan.perRenderer = std::min(kOneRendererAtMost, plan.shared);
    return plan;
}

class Pool
{
public:
    Pool(const MemoryPlan& plan, MemoryBudget& budget, long long timeLimitMs)
        : m_timeLimitMs(timeLimitMs)
    {
        for (unsigned i = 0; i < plan.threads; ++i)
            m_slots.push_back(std::make_unique<Slot>(plan, budget));
        for (auto& slot : m_slots) {
            slot->thread = std::thread([this, s = slot.get()] { work(*s); });
            // Named, so that a look at the worker's threads (top -H, ps -L) tells them apart.
            ::pthread_setname_np(slot->thread.native_handle(), "render");
        }
        m_watchdog = std::thread([this] { watch(); });
    }

    ~Pool()
    {
        {
            const std::lock_guard lock(m_lock);
            m_quit = true;
        }
        m_wake.notify_all();
        m_tick.notify_all();
        for (auto& slot : m_slots)
            slot->thread.join();
        m_watchdog.join();
    }

    void submit(Job job)
    {
        {
            const std::lock_guard lock(m_lock);
            (job.ahead ? m_ahead : m_jobs).push_back(std::move(job));
        }
        m_wake.notify_one();
    }

    // A page asked for ahead is needed now: it goes before every other page asked for ahead.
    void hurry(const std::string& id)
    {
        {
            const std::lock_guard lock(m_lock);
            const auto job = std::find_if(m_ahead.begin(), m_ahead.end(), [&](const Job& j) { return j.id == id; });
            if (job == m_ahead.end())
                return;
            job->ahead = false;
            m_jobs.push_back(std::move(*job));
            m_ahead.erase(job);
        }
        m_wake.notify_one();
    }

    // Drops the pages asked for ahead that no thread has taken yet.
    void forgetAhead()
    {
        const std::lock_guard lock(m_lock);
        m_ahead.clear();
        std::erase_if(m_deferred, [](const Job& job) { return job.ahead; });
    }

private:
    struct Slot
    {
        Slot(const MemoryPlan& plan, MemoryBudget& budget)
            : renderer(std::min<std::size_t>(32u << 20, plan.shared / plan.threads / 4), plan.perRenderer, &budget)
        { }
        std::thread thread;
        MupdfRenderer renderer;
        std::atomic<long long> startedMs {0}; // 0 while idle
        std::string jobId; // the page being rendered, under m_lock
        bool answered = false; // the watchdog has already answered for it, under m_lock
    };

    static long long nowMs()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    void work(Slot& slot)
    {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(m_lock);
                m_wake.wait(lock, [this] { return m_quit || !m_jobs.empty() || !m_ahead.empty(); });
                if (m_quit)
                    return;
                std::deque<Job>& queue = m_jobs.empty() ? m_ahead : m_jobs;
                job = std::move(queue.front());
                queue.pop_front();
                slot.jobId = job.id;
                slot.answered = false;
            }
            const Message answer = render(slot, job);
            bool answered = false;
            {
                const std::lock_guard lock(m_lock);
                answered = std::exchange(slot.answered, false);
                slot.jobId.clear();
                // Memory was given back: the pages that found it taken by others try again.
                while (!m_deferred.empty()) {
                    Job& waiting = m_deferred.front();
                    (waiting.ahead ? m_ahead : m_jobs).push_back(std::move(waiting));
                    m_deferred.pop_front();
                }
                // A page crowded out waits for one still rendering; alone, it tries once more at once.
                if (answer.empty() && !answered) {
                    ++job.crowded;
                    const bool othersRendering = std::any_of(m_slots.begin(), m_slots.end(),
                                                             [](const auto& other) { return !other->jobId.empty(); });
                    if (othersRendering)
                        m_deferred.push_back(std::move(job));
                    else
                        (job.ahead ? m_ahead : m_jobs).push_front(std::move(job));
                }
            }
            m_wake.notify_all();
            if (!answer.empty() && !answered)
                reply(answer);
        }
    }

    // The reply for the job; empty when it must wait for memory other pages hold.
    Message render(Slot& slot, const Job& job)
    {
        // A file replaced or rewritten under the same name is opened anew, never served from the old copy.
        if (!slot.renderer.holdsCurrent(job.path)) {
            int pages = 0;
            std::string error;
            if (!slot.renderer.open(job.path, pages, error))
                return {"error", job.id, error};
        }
        slot.startedMs = nowMs();
#ifdef QUARNEL_TEST_HOOKS
        // Test builds can be told to crash on one page, to prove the program survives it.
        if (const char* crash = std::getenv("QUARNEL_RENDER_CRASH_PAGE");
            crash && std::atoi(crash) == job.request.page + 1)
            std::abort();
        // ... or to hang on one where no stop request reaches, to prove such a page cannot hold up the program.
        if (const char* hang = std::getenv("QUARNEL_RENDER_HANG_PAGE"); hang && std::atoi(hang) == job.request.page + 1)
            for (;;)
                std::this_thread::sleep_for(std::chrono::hours(1));
        // ... or to take this long over every page, within the page's own limit.
        if (const char* slow = std::getenv("QUARNEL_RENDER_SLOW_MS"))
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(slow)));
#endif
        const PageResult result = slot.renderer.render(job.request);
        slot.startedMs = 0;
        if (result.ok)
            return {"done",
                    job.id,
                    std::to_string(result.width),
                    std::to_string(result.height),
                    std::to_string(result.dpi),
                    slot.renderer.versionText()};
        if (result.error == kCrowdedError && job.crowded < 2)
            return {};
        // What a failed page held goes back to the system, not only to the allocator.
        ::malloc_trim(0);
        if (result.error == kStoppedError)
            return {"stopped", job.id, result.error};
        if (result.error == kExhaustedError || result.error == kCrowdedError)
            return {"exhausted", job.id, kExhaustedError};
        return {"error", job.id, result.error};
    }

    void watch()
    {
        // Past the limit a page is asked to stop; a page that does not stop within the grace is answered
        // for, so that the program never waits on it (the worker is then replaced).
        constexpr long long kGraceMs = 3000;
        std::unique_lock lock(m_lock);
        while (!m_quit) {
            m_tick.wait_for(lock, std::chrono::milliseconds(200));
            for (auto& slot : m_slots) {
                const long long started = slot->startedMs;
                const long long running = started ? nowMs() - started : 0;
                if (running > m_timeLimitMs)
                    slot->renderer.requestAbort();
                if (running > m_timeLimitMs + kGraceMs && !slot->answered && !slot->jobId.empty()) {
                    slot->answered = true;
                    reply({"stopped", slot->jobId, kStoppedError});
                }
            }
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake; // for the rendering threads: work has come
    std::condition_variable m_tick; // for the watchdog alone, so that it never takes a wake-up meant for them
    std::deque<Job> m_jobs;
    std::deque<Job> m_ahead; // asked for ahead: taken only when no page needed now waits
    std::deque<Job> m_deferred; // waiting for memory other pages hold
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::thread m_watchdog;
    const long long m_timeLimitMs;
    bool m_quit = false;
};

// Answers "open" requests (a PDF's page count) on a thread of its own, one at a time in the order they
// came, so that the requests behind them reach the rendering threads without waiting.
class Opener
{
public:
    explicit Opener(MemoryBudget& budget)
        : m_counter(8u << 20, 128u << 20, &budget)
        , m_thread([this] { work(); })
    { }

    ~Opener()
    {
        {
            const std::lock_guard lock(m_lock);
            m_quit = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void submit(std::string id, std::string path)
    {
        {
            const std::lock_guard lock(m_lock);
            m_requests.emplace_back(std::move(id), std::move(path));
        }
        m_wake.notify_one();
    }

private:
    void work()
    {
        for (;;) {
            std::pair<std::string, std::string> request;
            {
                std::unique_lock lock(m_lock);
                m_wake.wait(lock, [this] { return m_quit || !m_requests.empty(); });
                if (m_quit)
                    return;
                request = std::move(m_requests.front());
                m_requests.pop_front();
            }
            int pages = 0;
            std::string error;
            if (m_counter.open(request.second, pages, error))
                reply({"opened", request.first, std::to_string(pages), m_counter.versionText()});
            else
                reply({"failed", request.first, error});
        }
    }

    MupdfRenderer m_counter;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::pair<std::string, std::string>> m_requests;
    bool m_quit = false;
    std::thread m_thread; // last: started when the rest is ready
};

} // namespace

int main(int argc, char* argv[])
{
    // Never outlive the program: the kernel ends the worker when its parent goes, however it goes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc > 1 && std::atoll(argv[1]) != static_cast<long long>(::getppid()))
        return 0; // the parent was already gone before the request above took effect
    // Page bands are tens of megabytes: kept in the heap and reused from page to page rather than mapped
    // afresh (and faulted in page by page) for every band.
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    const MemoryPlan plan = planFor(usableCores());
    MemoryBudget budget(plan.shared);
    // The program may ask for another time limit per page (in seconds) after its process id.
    const long long timeLimitMs
        = (argc > 2 && std::atoi(argv[2]) > 0 ? std::atoi(argv[2]) : kPageTimeLimitSeconds) * 1000LL;
    Pool pool(plan, budget, timeLimitMs);
    Opener opener(budget);
    LimitAddressSpace(plan.shared);
    MessageReader reader;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        // The program closed its end: every page still queued or rendering is dropped, unfinished pages
        // are never renamed to their final names, and the worker ends now.
        if (n <= 0)
            std::_Exit(0);
        reader.append(buffer, static_cast<std::size_t>(n));
        Message message;
        while (reader.next(message)) {
            if (message.size() == 3 && message[0] == "open") {
                opener.submit(message[1], message[2]);
            } else if (message.size() == 1 && message[0] == "forget") {
                pool.forgetAhead();
            } else if (message.size() == 2 && message[0] == "hurry") {
                pool.hurry(message[1]);
            } else if (message.size() == 8 && (message[0] == "render" || message[0] == "ahead")) {
                Job job;
                job.ahead = message[0] == "ahead";
                job.id = message[1];
                job.path = message[2];
                job.request.page = std::atoi(message[3].c_str());
                job.request.dpi = std::atof(message[4].c_str());
                job.request.quality = std::atoi(message[5].c_str());
                job.request.blackWhite = message[6] == "1";
                job.request.target = message[7];
                pool.submit(std::move(job));
            } else {
                // Not a request of ours: the program is told by the worker's end, not by silence.
                std::_Exit(2);
            }
        }
        if (reader.broken())
            std::_Exit(2);
    }
    return 0;
}
