#include "render/MupdfRenderer.h"

#include "render/JpegWriter.h"
#include "render/RenderProtocol.h"
#include "render/TextRunDevice.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mupdf/fitz.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarnel::render {

namespace {

// About 1 MB of pixels per band: small enough that a band is still in the processor's cache when it
// is encoded after being cleared and drawn, even where the large shared cache is busy with other work
// (a whole page is not: it goes out to memory and back); large enough that with text recorded in runs,
// running the page's display list once a band costs little.
constexpr std::size_t kBandBytes = 1u << 20;
// A huge page gets larger bands instead, so that its list is still run no more than this many times.
constexpr std::size_t kMostBands = 32;

void ignoreMessage(void*, const char*) { }

// Every block MuPDF allocates carries its size in front, so that freeing it gives back what it took.
constexpr std::size_t kHeader = alignof(std::max_align_t);

bool reserve(MupdfRenderer::Memory& memory, std::size_t bytes)
{
    if (memory.used + bytes > memory.limit) {
        memory.ownLimitHit = true;
        return false;
    }
    if (memory.shared && !memory.shared->take(bytes)) {
        memory.sharedLimitHit = true;
        return false;
    }
    memory.used += bytes;
    return true;
}

void release(MupdfRenderer::Memory& memory, std::size_t bytes)
{
    memory.used -= bytes;
    if (memory.shared)
        memory.shared->give(bytes);
}

void* countedMalloc(void* user, std::size_t size)
{
    auto& memory = *static_cast<MupdfRenderer::Memory*>(user);
    if (!reserve(memory, size))
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (!block) {
        release(memory, size);
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}

void countedFree(void* user, void* pointer)
{
    if (!pointer)
        return;
    unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    release(*static_cast<MupdfRenderer::Memory*>(user), size);
    std::free(block);
}

void* countedRealloc(void* user, void* pointer, std::size_t size)
{
    if (!pointer)
        return countedMalloc(user, size);
    if (size == 0) {
        countedFree(user, pointer);
        return nullptr;
    }
    auto& memory = *static_cast<MupdfRenderer::Memory*>(user);
    unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
    std::size_t old = 0;
    std::memcpy(&old, block, sizeof old);
    if (size > old && !reserve(memory, size - old))
        return nullptr;
    auto* grown = static_cast<unsigned char*>(std::realloc(block, size + kHeader));
    if (!grown) {
        if (size > old)
            release(memory, size - old);
        return nullptr;
    }
    if (size < old)
        release(memory, old - size);
    std::memcpy(grown, &size, sizeof size);
    return grown + kHeader;
}

} // namespace

bool MemoryBudget::take(std::size_t bytes)
{
    if (m_used.fetch_add(bytes) + bytes <= m_limit)
        return true;
    m_used.fetch_sub(bytes);
    return false;
}

// The backstop for memory MuPDF does not allocate through the budget (image decoders): the address
// space the worker has with its threads started, plus the budget and some room.
void LimitAddressSpace(std::size_t budget)
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return;
    char line[256];
    unsigned long long sizeKb = 0;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmSize: %llu kB", &sizeKb) == 1)
            break;
    std::fclose(status);
    if (sizeKb == 0)
        return;
    const rlim_t limit = sizeKb * 1024 + budget + (256u << 20);
    const struct rlimit bound = {limit, limit};
    ::setrlimit(RLIMIT_AS, &bound);
}

double BoundedDpi(double widthPoints, double heightPoints, double dpi)
{
    if (!(dpi > 0))
        dpi = 72;
    const double w = std::max(widthPoints, 1.0) * dpi / 72.0;
    const double h = std::max(heightPoints, 1.0) * dpi / 72.0;
    double scale = 1.0;
    if (w * h > kMaxPagePixels)
        scale = std::sqrt(kMaxPagePixels / (w * h));
    scale = std::min({scale, kMaxJpegSide / w, kMaxJpegSide / h});
    // Rounding the page's edges outwards adds up to a pixel each way: stay clear of the bound.
    if (scale < 1.0)
        scale *= 0.999;
    return dpi * scale;
}

MupdfRenderer::MupdfRenderer(std::size_t storeBytes, std::size_t ownLimit, MemoryBudget* shared)
    : m_memory {0, ownLimit, shared}
{
    const fz_alloc_context allocator {&m_memory, countedMalloc, countedRealloc, countedFree};
    m_context = fz_new_context(&allocator, nullptr, storeBytes);
    if (!m_context)
        return;
    // MuPDF's warnings (this build has no colour management and says so) are not the user's business.
    fz_set_warning_callback(m_context, ignoreMessage, nullptr);
    fz_set_error_callback(m_context, ignoreMessage, nullptr);
    fz_try(m_context) fz_register_document_handlers(m_context);
    fz_catch(m_context) { }
}

MupdfRenderer::~MupdfRenderer()
{
    close();
    if (m_context)
        fz_drop_context(m_context);
}

void MupdfRenderer::close()
{
    if (m_document)
        fz_drop_document(m_context, m_document);
    m_document = nullptr;
    m_path.clear();
}

MupdfRenderer::FileState MupdfRenderer::stateOf(const std::string& path)
{
    struct stat info = {};
    FileState state;
    if (::stat(path.c_str(), &info) == 0)
        state = {info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
    return state;
}

bool MupdfRenderer::holdsCurrent(const std::string& path) const
{
    return m_document && path == m_path && m_opened.size >= 0 && stateOf(path) == m_opened;
}

std::string MupdfRenderer::versionText() const
{
    return FileVersionText(m_opened.device, m_opened.inode, m_opened.size, m_opened.modifiedSec, m_opened.modifiedNsec);
}

bool MupdfRenderer::open(const std::string& path, int& pageCount, std::string& error)
{
    close();
    // Taken before the file is read: a change made while it is read makes the next request open it anew.
    const FileState state = stateOf(path);
    if (!m_context) {
        error = "the renderer has no memory";
        return false;
    }
    // Opened without waiting and checked to be a file first: a named pipe put in a PDF's place would
    // otherwise hold the worker in open() for good. The library then reads that very file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info = {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = fd < 0 ? std::string(std::strerror(errno)) : std::string("not a regular file");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const std::string opened = "/proc/self/fd/" + std::to_string(fd);
    fz_document* document = nullptr;
    fz_stream* stream = nullptr;
    int count = 0;
    enum class OpenFailure { None, Library, Password } failure = OpenFailure::None;
    fz_var(document);
    fz_var(stream);
    fz_var(failure);
    fz_try(m_context)
    {
        stream = fz_open_file(m_context, opened.c_str());
        // By content type, not by name: "X.PDF" and names without an extension are PDFs too.
        document = fz_open_document_with_stream(m_context, "application/pdf", stream);
        if (fz_needs_password(m_context, document) && !fz_authenticate_password(m_context, document, ""))
            failure = OpenFailure::Password;
        else
            count = fz_count_pages(m_context, document);
        if (count < 0)
            fz_throw(m_context, FZ_ERROR_GENERIC, "the PDF's page count is not valid");
    }
    fz_always(m_context) fz_drop_stream(m_context, stream);
    fz_catch(m_context) failure = OpenFailure::Library;
    ::close(fd);
    if (failure != OpenFailure::None) {
        error = failure == OpenFailure::Password ? std::string("the PDF needs a password")
                                                 : std::string(fz_caught_message(m_context));
        if (document)
            fz_drop_document(m_context, document);
        return false;
    }
    m_document = document;
    m_path = path;
    m_opened = state;
    pageCount = count;
    return true;
}

void MupdfRenderer::requestAbort()
{
    const std::lock_guard lock(m_cookieLock);
    if (m_abort)
        *m_abort = 1;
}

// What one page's rendering holds of MuPDF's, given back however the page ends.
struct PageHold
{
    fz_page* page = nullptr;
    fz_display_list* list = nullptr;
    fz_device* device = nullptr;
    fz_device* runs = nullptr;
    fz_pixmap* band = nullptr;
    unsigned char* samples = nullptr;

    void drop(fz_context* ctx)
    {
        fz_drop_device(ctx, runs);
        fz_drop_device(ctx, device);
        fz_drop_pixmap(ctx, band);
        fz_free(ctx, samples);
        fz_drop_display_list(ctx, list);
        fz_drop_page(ctx, page);
    }
};

namespace {

// The page in pixels, and the bands it is drawn in.
struct PagePlan
{
    double dpi = 0;
    fz_matrix ctm {};
    fz_irect box {};
    int width = 0;
    int height = 0;
    int components = 3;
    fz_colorspace* space = nullptr;
    int bandRows = 0;
};

PagePlan planBands(fz_context* ctx, fz_rect bounds, const PageRequest& request, std::size_t memoryLimit)
{
    PagePlan plan;
    plan.dpi = BoundedDpi(bounds.x1 - bounds.x0, bounds.y1 - bounds.y0, request.dpi);
    const float zoom = static_cast<float>(plan.dpi / 72.0);
    plan.ctm = fz_scale(zoom, zoom);
    plan.box = fz_round_rect(fz_transform_rect(bounds, plan.ctm));
    if (plan.box.x1 <= plan.box.x0)
        plan.box.x1 = plan.box.x0 + 1;
    if (plan.box.y1 <= plan.box.y0)
        plan.box.y1 = plan.box.y0 + 1;
    plan.width = plan.box.x1 - plan.box.x0;
    plan.height = plan.box.y1 - plan.box.y0;
    plan.components = request.blackWhite ? 1 : 3;
    plan.space = request.blackWhite ? fz_device_gray(ctx) : fz_device_rgb(ctx);
    // Bands small enough to leave most of the renderer's memory to the page's own content.
    const std::size_t rowBytes = static_cast<std::size_t>(plan.width) * static_cast<std::size_t>(plan.components);
    const std::size_t pageBytes = rowBytes * static_cast<std::size_t>(plan.height);
    const std::size_t bandBytes = std::min(std::max(kBandBytes, pageBytes / kMostBands), memoryLimit / 8);
    plan.bandRows = static_cast<int>(std::max<std::size_t>(16, bandBytes / rowBytes));
    return plan;
}

// The page is read once into a display list and drawn from it band by band. (Drawn straight, a page of
// endless drawing would run to its time limit; read into a list, it meets the memory limit within
// seconds.)
void recordPage(fz_context* ctx, PageHold& hold, fz_rect bounds, fz_cookie& cookie)
{
    hold.list = fz_new_display_list(ctx, bounds);
    hold.device = fz_new_list_device(ctx, hold.list);
    hold.runs = NewTextRunDevice(ctx, hold.device);
    fz_run_page(ctx, hold.page, hold.runs, fz_identity, &cookie);
    fz_close_device(ctx, hold.runs);
    fz_drop_device(ctx, hold.runs);
    hold.runs = nullptr;
    fz_drop_device(ctx, hold.device);
    hold.device = nullptr;
}

// Draws the rows of `slice` into the band's pixels (the page's one band buffer).
void drawBand(fz_context* ctx, PageHold& hold, const PagePlan& plan, fz_irect slice, fz_cookie& cookie)
{
    hold.band = fz_new_pixmap_with_bbox_and_data(ctx, plan.space, slice, nullptr, 0, hold.samples);
    hold.device = fz_new_draw_device(ctx, fz_identity, hold.band);
    fz_run_display_list(ctx, hold.list, hold.device, plan.ctm, fz_rect_from_irect(slice), &cookie);
    fz_close_device(ctx, hold.device);
    fz_drop_device(ctx, hold.device);
    hold.device = nullptr;
}

// A threshold, not a grey scale: every pixel black or white.
void makeBlackWhite(unsigned char* samples, int rows, std::ptrdiff_t stride, int width)
{
    for (int y = 0; y < rows; ++y) {
        unsigned char* row = samples + y * stride;
        for (int x = 0; x < width; ++x)
            row[x] = row[x] < 128 ? 0 : 255;
    }
}

const char* textOf(PageFailure failure)
{
    switch (failure) {
    case PageFailure::NoDocument:
        return "no document is open";
    case PageFailure::Stopped:
        return kStoppedError;
    case PageFailure::Exhausted:
        return kExhaustedError;
    case PageFailure::Crowded:
        return "the renderers' shared memory was taken";
    default:
        return "";
    }
}

} // namespace

// One page's rendering as it goes.
struct PageRun
{
    fz_cookie cookie {};
    PageHold hold;
    JpegWriter writer;
    PageResult result;
};

void MupdfRenderer::failPage(PageRun& run, PageFailure failure)
{
    run.result.failure = failure;
    if (failure != PageFailure::Jpeg)
        run.result.error = textOf(failure);
    fz_throw(m_context, FZ_ERROR_GENERIC, "%s", run.result.error.c_str());
}

void MupdfRenderer::stopIfCutShort(PageRun& run)
{
    // MuPDF carries on past some failures inside a page: a page cut short is not a page.
    if (run.cookie.abort)
        failPage(run, PageFailure::Stopped);
    if (m_memory.ownLimitHit || m_memory.sharedLimitHit)
        fz_throw(m_context, FZ_ERROR_MEMORY, "out of memory");
}

void MupdfRenderer::drawPage(PageRun& run, const PageRequest& request)
{
    PageHold& hold = run.hold;
    hold.page = fz_load_page(m_context, m_document, request.page);
    const fz_rect bounds = fz_bound_page(m_context, hold.page);
    const PagePlan plan = planBands(m_context, bounds, request, m_memory.limit);
    run.result.dpi = plan.dpi;
    run.result.width = plan.width;
    run.result.height = plan.height;
    recordPage(m_context, hold, bounds, run.cookie);
    stopIfCutShort(run);
    if (!run.writer.start(request.target, plan.width, plan.height, plan.components, request.quality,
                          static_cast<int>(std::lround(plan.dpi)), run.result.error))
        failPage(run, PageFailure::Jpeg);
    // One band's pixels serve every band of the page. Pages are drawn on white (what is transparent in the
    // PDF shows as paper): cleared once here, then again by the encoder as it takes each few rows.
    const std::size_t rowBytes = static_cast<std::size_t>(plan.width) * static_cast<std::size_t>(plan.components);
    const std::size_t samplesBytes = rowBytes * static_cast<std::size_t>(std::min(plan.bandRows, plan.height));
    hold.samples = static_cast<unsigned char*>(fz_malloc(m_context, samplesBytes));
    std::memset(hold.samples, 0xff, samplesBytes);
    for (int top = plan.box.y0; top < plan.box.y1; top += plan.bandRows) {
        fz_irect slice = plan.box;
        slice.y0 = top;
        slice.y1 = std::min(plan.box.y1, top + plan.bandRows);
        drawBand(m_context, hold, plan, slice, run.cookie);
        stopIfCutShort(run);
        unsigned char* samples = fz_pixmap_samples(m_context, hold.band);
        const std::ptrdiff_t stride = fz_pixmap_stride(m_context, hold.band);
        const int rows = slice.y1 - slice.y0;
        if (request.blackWhite)
            makeBlackWhite(samples, rows, stride, plan.width);
        if (!run.writer.writeRowsAndFill(samples, rows, stride, 0xff, run.result.error))
            failPage(run, PageFailure::Jpeg);
        fz_drop_pixmap(m_context, hold.band);
        hold.band = nullptr;
    }
    if (!run.writer.finish(run.result.error))
        failPage(run, PageFailure::Jpeg);
}

PageResult MupdfRenderer::render(const PageRequest& request)
{
    if (!m_document) {
        PageResult result;
        result.failure = PageFailure::NoDocument;
        result.error = textOf(result.failure);
        return result;
    }
    m_memory.ownLimitHit = false;
    m_memory.sharedLimitHit = false;
    PageRun run;
    {
        const std::lock_guard lock(m_cookieLock);
        m_abort = &run.cookie.abort;
    }
    struct Unregister
    {
        MupdfRenderer* self;
        ~Unregister()
        {
            const std::lock_guard lock(self->m_cookieLock);
            self->m_abort = nullptr;
        }
    } unregister {this};
    fz_var(run);
    fz_try(m_context) drawPage(run, request);
    fz_always(m_context) run.hold.drop(m_context);
    fz_catch(m_context)
    {
        PageResult& result = run.result;
        if (result.failure == PageFailure::None) {
            result.failure = m_memory.ownLimitHit ? PageFailure::Exhausted
                : m_memory.sharedLimitHit         ? PageFailure::Crowded
                                                  : PageFailure::Document;
            result.error
                = result.failure == PageFailure::Document ? fz_caught_message(m_context) : textOf(result.failure);
        }
    }
    if (run.result.failure != PageFailure::None) {
        run.writer.abandon();
        return run.result;
    }
    run.result.ok = true;
    return run.result;
}

} // namespace quarnel::render
