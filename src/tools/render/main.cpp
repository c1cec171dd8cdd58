// quarnel-render: the renderer worker. Reads requests on standard input and answers on standard
// output; renders pages on as many threads as the machine has cores (at most four), each with its own
// MuPDF context. A page that runs past its time limit is stopped. Run by the program, not by people.
#include "conversion/render/MupdfRenderer.h"
#include "conversion/render/RenderProtocol.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

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
};

class Pool
{
public:
    explicit Pool(unsigned threads)
    {
        for (unsigned i = 0; i < threads; ++i)
            m_slots.push_back(std::make_unique<Slot>());
        for (auto& slot : m_slots)
            slot->thread = std::thread([this, s = slot.get()] { work(*s); });
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
            m_jobs.push_back(std::move(job));
        }
        m_wake.notify_one();
    }

private:
    struct Slot
    {
        std::thread thread;
        MupdfRenderer renderer;
        std::atomic<long long> startedMs {0}; // 0 while idle
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
                m_wake.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            // A file replaced or rewritten under the same name is opened anew, never served from the old copy.
            if (!slot.renderer.holdsCurrent(job.path)) {
                int pages = 0;
                std::string error;
                if (!slot.renderer.open(job.path, pages, error)) {
                    reply({"error", job.id, error});
                    continue;
                }
            }
#ifdef QUARNEL_TEST_HOOKS
            // Test builds can be told to crash on one page, to prove the program survives it.
            if (const char* crash = std::getenv("QUARNEL_RENDER_CRASH_PAGE");
                crash && std::atoi(crash) == job.request.page + 1)
                std::abort();
            // ... or to hang on one, to prove a page that never ends cannot stop the program.
            if (const char* hang = std::getenv("QUARNEL_RENDER_HANG_PAGE");
                hang && std::atoi(hang) == job.request.page + 1)
                for (;;)
                    std::this_thread::sleep_for(std::chrono::hours(1));
#endif
            slot.startedMs = nowMs();
            const PageResult result = slot.renderer.render(job.request);
            slot.startedMs = 0;
            if (result.ok)
                reply({"done", job.id, std::to_string(result.width), std::to_string(result.height),
                       std::to_string(result.dpi)});
            else
                reply({result.error == kStoppedError ? "stopped" : "error", job.id, result.error});
        }
    }

    void watch()
    {
        std::unique_lock lock(m_lock);
        while (!m_quit) {
            m_tick.wait_for(lock, std::chrono::milliseconds(200));
            for (auto& slot : m_slots) {
                const long long started = slot->startedMs;
                if (started && nowMs() - started > kPageTimeLimitSeconds * 1000LL)
                    slot->renderer.requestAbort();
            }
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake; // for the rendering threads: work has come
    std::condition_variable m_tick; // for the watchdog alone, so that it never takes a wake-up meant for them
    std::deque<Job> m_jobs;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::thread m_watchdog;
    bool m_quit = false;
};

} // namespace

int main(int argc, char* argv[])
{
    // Never outlive the program: the kernel ends the worker when its parent goes, however it goes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc > 1 && std::atoll(argv[1]) != static_cast<long long>(::getppid()))
        return 0; // the parent was already gone before the request above took effect
    const unsigned cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    Pool pool(cores);
    MupdfRenderer counter(8u << 20);
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
                int pages = 0;
                std::string error;
                if (counter.open(message[2], pages, error))
                    reply({"opened", message[1], std::to_string(pages)});
                else
                    reply({"failed", message[1], error});
            } else if (message.size() == 8 && message[0] == "render") {
                Job job;
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
