#pragma once

#include "render/RenderProtocol.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

struct fz_context;
struct fz_document;

namespace quarnel::render {

// The largest page image rendered: beyond it the page is rendered at the largest resolution within it.
inline constexpr double kMaxPagePixels = 200e6;
// JPEG cannot hold more than this many pixels in either direction.
inline constexpr int kMaxJpegSide = 65500;

// Why a page was not rendered.
enum class PageFailure {
    None,
    NoDocument, // no document is open
    Document, // the library could not read or draw the page
    Jpeg, // the image could not be written
    Stopped, // the page ran past its time limit and was stopped
    Exhausted, // the page needs more memory than one renderer may take
    Crowded, // the memory all renderers share was taken by others: the page may be rendered again once they are done
};

// The text of a page stopped at its time limit.
inline constexpr const char* kStoppedError = "the page took too long and was stopped";
// The text of a page that needs more memory than one renderer may take.
inline constexpr const char* kExhaustedError = "the page needs more memory than the renderer may use";

// Bytes MuPDF may hold: at most `ownLimit` for one renderer, and at most the shared limit for all the
// renderers of the process together. An allocation past either fails, and with it the page.
class MemoryBudget final
{
public:
    explicit MemoryBudget(std::size_t sharedLimit)
        : m_limit(sharedLimit)
    { }
    bool take(std::size_t bytes);
    void give(std::size_t bytes) { m_used.fetch_sub(bytes); }
    std::size_t limit() const { return m_limit; }

private:
    std::atomic<std::size_t> m_used {0};
    std::size_t m_limit;
};

struct PageResult
{
    bool ok = false;
    PageFailure failure = PageFailure::None;
    std::string error; // what went wrong, in words
    int width = 0;
    int height = 0;
    double dpi = 0; // the resolution used, lower than asked for an oversized page
};

struct PageRun;

// Renders pages of one PDF with MuPDF into JPEG files, in bands, so that memory stays small whatever
// the page size. One instance per thread: it owns its MuPDF context.
class MupdfRenderer final
{
public:
    // Without a shared budget, only the renderer's own limit applies.
    explicit MupdfRenderer(std::size_t storeBytes = 32u << 20, std::size_t ownLimit = 512u << 20,
                           MemoryBudget* shared = nullptr);
    ~MupdfRenderer();
    MupdfRenderer(const MupdfRenderer&) = delete;
    MupdfRenderer& operator=(const MupdfRenderer&) = delete;

    // Opens the PDF (an encrypted one only when it opens with an empty password).
    bool open(const std::string& path, int& pageCount, std::string& error);
    void close();
    const std::string& path() const { return m_path; }
    // True when the open document is this path's file as it is now: same device, inode, size and
    // modification time as when it was opened. A file replaced or rewritten under the name is not.
    bool holdsCurrent(const std::string& path) const;
    // The version of the file the open document was read from: device, inode, size and modification
    // time, as one text.
    std::string versionText() const;

    // Renders one page.
    PageResult render(const PageRequest& request);
    // Asks the page being rendered, if any, to stop; safe to call from another thread.
    void requestAbort();

    // The memory this renderer's MuPDF holds now.
    std::size_t bytesHeld() const { return m_memory.used; }

    // What MuPDF allocates through: counted against the renderer's own limit and the shared one.
    struct Memory
    {
        std::size_t used = 0;
        std::size_t limit = 0;
        MemoryBudget* shared = nullptr;
        bool ownLimitHit = false;
        bool sharedLimitHit = false;
    };

private:
    void drawPage(PageRun& run, const PageRequest& request);
    // Ends the page with this failure (a jump to the page's end, as MuPDF's own failures are).
    [[noreturn]] void failPage(PageRun& run, PageFailure failure);
    void stopIfCutShort(PageRun& run);

    Memory m_memory;
    fz_context* m_context = nullptr;
    fz_document* m_document = nullptr;
    std::string m_path;
    struct FileState
    {
        unsigned long long device = 0, inode = 0;
        long long size = -1, modifiedSec = 0, modifiedNsec = 0;
        bool operator==(const FileState&) const = default;
    } m_opened;
    static FileState stateOf(const std::string& path);
    std::mutex m_cookieLock;
    int* m_abort = nullptr; // the running render's stop flag
};

// The backstop for memory MuPDF does not allocate through the budget (image decoders): the address space
// the process has now (its threads started), plus the budget and some room.
void LimitAddressSpace(std::size_t budget);

// The resolution at which a page of this size in points fits the pixel bounds.
double BoundedDpi(double widthPoints, double heightPoints, double dpi);

} // namespace quarnel::render
