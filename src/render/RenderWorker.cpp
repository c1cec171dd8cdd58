#include "render/RenderWorker.h"

#include "render/MupdfRenderer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <malloc.h>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quarnel::render {

namespace {

// Replies one at a time, whichever thread gives them.
class Replier
{
public:
    explicit Replier(RenderWorker::ReplySink sink)
        : m_sink(std::move(sink))
    { }
    void operator()(const Reply& reply)
    {
        const std::lock_guard lock(m_lock);
        m_sink(reply);
    }

private:
    std::mutex m_lock;
    RenderWorker::ReplySink m_sink;
};

struct Job
{
    int id = 0;
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

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The pages' queues: those needed now, those asked for ahead, and those waiting for memory others hold.
class JobQueues
{
public:
    void push(Job job, bool front = false)
    {
        std::deque<Job>& queue = job.ahead ? m_ahead : m_now;
        if (front)
            queue.push_front(std::move(job));
        else
            queue.push_back(std::move(job));
    }
    bool empty() const { return m_now.empty() && m_ahead.empty(); }
    // Pages needed now first; a page asked for ahead only when none waits.
    Job take()
    {
        std::deque<Job>& queue = m_now.empty() ? m_ahead : m_now;
        Job job = std::move(queue.front());
        queue.pop_front();
        return job;
    }
    bool hurry(int id)
    {
        const auto job = std::find_if(m_ahead.begin(), m_ahead.end(), [&](const Job& j) { return j.id == id; });
        if (job == m_ahead.end())
            return false;
        job->ahead = false;
        m_now.push_back(std::move(*job));
        m_ahead.erase(job);
        return true;
    }
    void forgetAhead()
    {
        m_ahead.clear();
        std::erase_if(m_deferred, [](const Job& job) { return job.ahead; });
    }
    void defer(Job job) { m_deferred.push_back(std::move(job)); }
    // Memory was given back: the pages that found it taken try again.
    void retryDeferred()
    {
        for (Job& job : m_deferred)
            push(std::move(job));
        m_deferred.clear();
    }

private:
    std::deque<Job> m_now;
    std::deque<Job> m_ahead;
    std::deque<Job> m_deferred;
};

class Pool
{
public:
    Pool(const MemoryPlan& plan, MemoryBudget& budget, const WorkerSettings& settings, Replier& reply)
        : m_settings(settings)
        , m_reply(reply)
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

    unsigned threads() const { return static_cast<unsigned>(m_slots.size()); }

    void submit(Job job)
    {
        {
            const std::lock_guard lock(m_lock);
            m_queues.push(std::move(job));
        }
        m_wake.notify_one();
    }

    // A page asked for ahead is needed now: it goes before every other page asked for ahead.
    void hurry(int id)
    {
        bool moved = false;
        {
            const std::lock_guard lock(m_lock);
            moved = m_queues.hurry(id);
        }
        if (moved)
            m_wake.notify_one();
    }

    // Drops the pages asked for ahead that no thread has taken yet.
    void forgetAhead()
    {
        const std::lock_guard lock(m_lock);
        m_queues.forgetAhead();
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
        int jobId = -1; // the page being rendered (-1: none), under m_lock
        bool answered = false; // the watchdog has already answered for it, under m_lock
    };

    void work(Slot& slot)
    {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(m_lock);
                m_wake.wait(lock, [this] { return m_quit || !m_queues.empty(); });
                if (m_quit)
                    return;
                job = m_queues.take();
                slot.jobId = job.id;
                slot.answered = false;
            }
            const std::optional<Reply> answer = render(slot, job);
            bool answered = false;
            {
                const std::lock_guard lock(m_lock);
                answered = std::exchange(slot.answered, false);
                slot.jobId = -1;
                m_queues.retryDeferred();
                if (!answer && !answered)
                    waitForMemory(std::move(job));
            }
            m_wake.notify_all();
            if (answer && !answered)
                m_reply(*answer);
        }
    }

    // A page crowded out waits for one still rendering; alone, it tries once more at once. Under m_lock.
    void waitForMemory(Job job)
    {
        ++job.crowded;
        const bool othersRendering
            = std::any_of(m_slots.begin(), m_slots.end(), [](const auto& other) { return other->jobId != -1; });
        if (othersRendering)
            m_queues.defer(std::move(job));
        else
            m_queues.push(std::move(job), true);
    }

    // The reply for the job; none when it must wait for memory other pages hold.
    std::optional<Reply> render(Slot& slot, const Job& job)
    {
        Reply reply;
        reply.id = job.id;
        // A file replaced or rewritten under the same name is opened anew, never served from the old copy.
        if (!slot.renderer.holdsCurrent(job.path)) {
            int pages = 0;
            if (!slot.renderer.open(job.path, pages, reply.message)) {
                reply.kind = ReplyKind::Failed;
                return reply;
            }
        }
        slot.startedMs = nowMs();
        if (m_settings.beforePage)
            m_settings.beforePage(job.request.page);
        const PageResult result = slot.renderer.render(job.request);
        slot.startedMs = 0;
        if (result.ok) {
            reply.kind = ReplyKind::Done;
            reply.width = result.width;
            reply.height = result.height;
            reply.dpi = result.dpi;
            reply.version = slot.renderer.versionText();
            return reply;
        }
        if (result.failure == PageFailure::Crowded && job.crowded < 2)
            return std::nullopt;
        // What a failed page held goes back to the system, not only to the allocator.
        ::malloc_trim(0);
        reply.message = result.error;
        if (result.failure == PageFailure::Stopped) {
            reply.kind = ReplyKind::Stopped;
        } else if (result.failure == PageFailure::Exhausted || result.failure == PageFailure::Crowded) {
            reply.kind = ReplyKind::Exhausted;
            reply.message = kExhaustedError;
        } else {
            reply.kind = ReplyKind::Failed;
        }
        return reply;
    }

    void watch()
    {
        std::unique_lock lock(m_lock);
        while (!m_quit) {
            m_tick.wait_for(lock, std::chrono::milliseconds(200));
            for (auto& slot : m_slots) {
                const long long started = slot->startedMs;
                const long long running = started ? nowMs() - started : 0;
                if (running > m_settings.pageTimeLimitMs)
                    slot->renderer.requestAbort();
                if (running > m_settings.pageTimeLimitMs + m_settings.stopGraceMs && !slot->answered
                    && slot->jobId != -1) {
                    slot->answered = true;
                    m_reply({ReplyKind::Stopped, slot->jobId, 0, 0, 0, 0, {}, kStoppedError});
                }
            }
        }
    }

    const WorkerSettings& m_settings;
    Replier& m_reply;
    std::mutex m_lock;
    std::condition_variable m_wake; // for the rendering threads: work has come
    std::condition_variable m_tick; // for the watchdog alone, so that it never takes a wake-up meant for them
    JobQueues m_queues;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::thread m_watchdog;
    bool m_quit = false;
};

// Counts the pages of PDFs on a thread of its own, one at a time in the order they came, so that the
// requests behind them reach the rendering threads without waiting.
class Opener
{
public:
    Opener(MemoryBudget& budget, Replier& reply)
        : m_counter(8u << 20, 128u << 20, &budget)
        , m_reply(reply)
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

    void submit(int id, std::string path)
    {
        {
            const std::lock_guard lock(m_lock);
            m_requests.emplace_back(id, std::move(path));
        }
        m_wake.notify_one();
    }

private:
    void work()
    {
        for (;;) {
            std::pair<int, std::string> request;
            {
                std::unique_lock lock(m_lock);
                m_wake.wait(lock, [this] { return m_quit || !m_requests.empty(); });
                if (m_quit)
                    return;
                request = std::move(m_requests.front());
                m_requests.pop_front();
            }
            Reply reply;
            reply.id = request.first;
            reply.kind = m_counter.open(request.second, reply.pages, reply.message) ? ReplyKind::Opened
                                                                                    : ReplyKind::OpenFailed;
            if (reply.kind == ReplyKind::Opened)
                reply.version = m_counter.versionText();
            m_reply(reply);
        }
    }

    MupdfRenderer m_counter;
    Replier& m_reply;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::pair<int, std::string>> m_requests;
    bool m_quit = false;
    std::thread m_thread; // last: started when the rest is ready
};

} // namespace

struct RenderWorker::Parts
{
    Parts(WorkerSettings workerSettings, ReplySink sink)
        : settings(std::move(workerSettings))
        , plan(planFor(usableCores()))
        , budget(plan.shared)
        , reply(std::move(sink))
        , pool(plan, budget, settings, reply)
        , opener(budget, reply)
    { }
    WorkerSettings settings;
    MemoryPlan plan;
    MemoryBudget budget;
    Replier reply;
    Pool pool;
    Opener opener;
};

RenderWorker::RenderWorker(WorkerSettings settings, ReplySink sink)
    : m_parts(std::make_unique<Parts>(std::move(settings), std::move(sink)))
{ }

RenderWorker::~RenderWorker() = default;

unsigned RenderWorker::renderThreads() const
{
    return m_parts->pool.threads();
}

std::size_t RenderWorker::sharedMemory() const
{
    return m_parts->plan.shared;
}

void RenderWorker::handle(const Request& request)
{
    switch (request.kind) {
    case RequestKind::Open:
        m_parts->opener.submit(request.id, request.path);
        break;
    case RequestKind::Forget:
        m_parts->pool.forgetAhead();
        break;
    case RequestKind::Hurry:
        m_parts->pool.hurry(request.id);
        break;
    case RequestKind::Render:
    case RequestKind::Ahead:
        m_parts->pool.submit({request.id, request.path, request.page, 0, request.kind == RequestKind::Ahead});
        break;
    }
}

int ServeRequests(int input, RenderWorker& worker)
{
    MessageReader reader;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(input, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        reader.append(buffer, static_cast<std::size_t>(n));
        Message message;
        while (reader.next(message)) {
            const std::optional<Request> request = DecodeRequest(message);
            // Not a request of ours: the program is told by the worker's end, not by silence.
            if (!request)
                return 2;
            worker.handle(*request);
        }
        if (reader.broken())
            return 2;
    }
}

} // namespace quarnel::render
