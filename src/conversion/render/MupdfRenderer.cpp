#include "conversion/render/MupdfRenderer.h"

#include "conversion/render/JpegWriter.h"
#include "conversion/render/RenderProtocol.h"

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

// Text a page shows in one piece (often the whole page) would be replayed in full for every band, each of
// its glyphs looked up in the glyph cache however far it lies outside the band. Recorded instead in runs
// of a few lines, a band draws only the runs it crosses. The glyphs keep their order, so what is drawn
// does not change. Inside a knockout group each piece would knock out the ones before: once a page opens
// one, its text is recorded whole.
struct TextRuns
{
    decltype(fz_device::fill_text) fillText = nullptr;
    decltype(fz_device::begin_group) beginGroup = nullptr;
    bool knockout = false;
};

// The runs of the page this thread is recording: a list device's calls have no room for them.
thread_local TextRuns* t_runs = nullptr;

// A run's height on the page, in points: a few lines of body text, well under a band.
constexpr float kRunHeight = 36;

float pageY(const fz_text_item& item, fz_matrix ctm)
{
    return fz_transform_point_xy(item.x, item.y, ctm).y;
}

// Records the text's glyphs in their order, a run at a time; `run` is the one being filled.
void recordRuns(fz_context* ctx, fz_device* device, const fz_text* text, fz_matrix ctm, fz_colorspace* space,
                const float* color, float alpha, fz_color_params params, fz_text*& run)
{
    float top = 0;
    float bottom = 0;
    for (const fz_text_span* span = text->head; span; span = span->next) {
        for (int i = 0; i < span->len; ++i) {
            const fz_text_item& item = span->items[i];
            const float y = pageY(item, ctm);
            // A glyph of several characters continues on items without a glyph of their own.
            if (run && item.gid >= 0 && std::max(bottom, y) - std::min(top, y) > kRunHeight) {
                t_runs->fillText(ctx, device, run, ctm, space, color, alpha, params);
                fz_drop_text(ctx, run);
                run = nullptr;
            }
            if (!run) {
                run = fz_new_text(ctx);
                top = bottom = y;
            }
            top = std::min(top, y);
            bottom = std::max(bottom, y);
            fz_matrix trm = span->trm;
            trm.e = item.x;
            trm.f = item.y;
            fz_show_glyph(ctx, run, span->font, trm, item.gid, item.ucs, span->wmode, span->bidi_level,
                          static_cast<fz_bidi_direction>(span->markup_dir),
                          static_cast<fz_text_language>(span->language));
        }
    }
    if (run)
        t_runs->fillText(ctx, device, run, ctm, space, color, alpha, params);
}

void fillTextInRuns(fz_context* ctx, fz_device* device, const fz_text* text, fz_matrix ctm, fz_colorspace* space,
                    const float* color, float alpha, fz_color_params params)
{
    float top = HUGE_VALF;
    float bottom = -HUGE_VALF;
    for (const fz_text_span* span = text->head; span; span = span->next) {
        for (int i = 0; i < span->len; ++i) {
            const float y = pageY(span->items[i], ctm);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    if (t_runs->knockout || !(bottom - top > kRunHeight)) {
        t_runs->fillText(ctx, device, text, ctm, space, color, alpha, params);
        return;
    }
    fz_text* run = nullptr;
    fz_var(run);
    fz_try(ctx) recordRuns(ctx, device, text, ctm, space, color, alpha, params, run);
    fz_always(ctx) fz_drop_text(ctx, run);
    fz_catch(ctx) fz_rethrow(ctx);
}

void beginGroupOfRuns(fz_context* ctx, fz_device* device, fz_rect area, fz_colorspace* space, int isolated,
                      int knockout, int blendmode, float alpha)
{
    t_runs->knockout = t_runs->knockout || knockout;
    t_runs->beginGroup(ctx, device, area, space, isolated, knockout, blendmode, alpha);
}

// Makes a list device record text in runs while this thread records a page into it.
void recordTextInRuns(fz_device* listDevice, TextRuns& runs)
{
    runs.fillText = listDevice->fill_text;
    runs.beginGroup = listDevice->begin_group;
    listDevice->fill_text = fillTextInRuns;
    listDevice->begin_group = beginGroupOfRuns;
    t_runs = &runs;
}

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
    int failure = 0; // 1: MuPDF error, 2: password
    fz_var(document);
    fz_var(stream);
    fz_var(failure);
    fz_try(m_context)
    {
        stream = fz_open_file(m_context, opened.c_str());
        // By content type, not by name: "X.PDF" and names without an extension are PDFs too.
        document = fz_open_document_with_stream(m_context, "application/pdf", stream);
        if (fz_needs_password(m_context, document) && !fz_authenticate_password(m_context, document, ""))
            failure = 2;
        else
            count = fz_count_pages(m_context, document);
        if (count < 0)
            fz_throw(m_context, FZ_ERROR_GENERIC, "the PDF's page count is not valid");
    }
    fz_always(m_context) fz_drop_stream(m_context, stream);
    fz_catch(m_context) failure = 1;
    ::close(fd);
    if (failure) {
        error = failure == 2 ? std::string("the PDF needs a password") : std::string(fz_caught_message(m_context));
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

PageResult MupdfRenderer::render(const PageRequest& request)
{
    PageResult result;
    if (!m_document) {
        result.error = "no document is open";
        return result;
    }
    m_memory.ownLimitHit = false;
    m_memory.sharedLimitHit = false;
    fz_cookie cookie {};
    {
        const std::lock_guard lock(m_cookieLock);
        m_abort = &cookie.abort;
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
    fz_page* page = nullptr;
    fz_display_list* list = nullptr;
    fz_device* device = nullptr;
    fz_pixmap* band = nullptr;
    unsigned char* bandSamples = nullptr;
    JpegWriter writer;
    std::string writerError;
    TextRuns runs;
    int failure = 0; // 1: MuPDF error, 2: JPEG error, 3: stopped
    fz_var(page);
    fz_var(list);
    fz_var(device);
    fz_var(band);
    fz_var(bandSamples);
    fz_var(failure);
    fz_try(m_context)
    {
        page = fz_load_page(m_context, m_document, request.page);
        const fz_rect bounds = fz_bound_page(m_context, page);
        result.dpi = BoundedDpi(bounds.x1 - bounds.x0, bounds.y1 - bounds.y0, request.dpi);
        const float zoom = static_cast<float>(result.dpi / 72.0);
        const fz_matrix ctm = fz_scale(zoom, zoom);
        fz_irect box = fz_round_rect(fz_transform_rect(bounds, ctm));
        if (box.x1 <= box.x0)
            box.x1 = box.x0 + 1;
        if (box.y1 <= box.y0)
            box.y1 = box.y0 + 1;
        result.width = box.x1 - box.x0;
        result.height = box.y1 - box.y0;
        const int components = request.blackWhite ? 1 : 3;
        fz_colorspace* space = request.blackWhite ? fz_device_gray(m_context) : fz_device_rgb(m_context);
        // Bands small enough to leave most of the renderer's memory to the page's own content.
        const std::size_t pageBytes
            = static_cast<std::size_t>(result.width) * static_cast<std::size_t>(result.height) * components;
        const std::size_t bandBytes = std::min(std::max(kBandBytes, pageBytes / kMostBands), m_memory.limit / 8);
        const int bandRows = static_cast<int>(
            std::max<std::size_t>(16, bandBytes / (static_cast<std::size_t>(result.width) * components)));
        // The page is read once into a display list, drawn from it band by band. (Drawn straight, a page
        // of endless drawing would run to its time limit; read into a list, it meets the memory limit
        // within seconds.)
        list = fz_new_display_list(m_context, bounds);
        device = fz_new_list_device(m_context, list);
        recordTextInRuns(device, runs);
        fz_run_page(m_context, page, device, fz_identity, &cookie);
        t_runs = nullptr;
        fz_close_device(m_context, device);
        fz_drop_device(m_context, device);
        device = nullptr;
        // MuPDF carries on past some failures inside a page: a page cut short is not a page.
        const auto stopIfCutShort = [&] {
            if (cookie.abort) {
                failure = 3;
                fz_throw(m_context, FZ_ERROR_GENERIC, "stopped");
            }
            if (m_memory.ownLimitHit || m_memory.sharedLimitHit)
                fz_throw(m_context, FZ_ERROR_MEMORY, "out of memory");
        };
        stopIfCutShort();
        if (!writer.start(request.target, result.width, result.height, components, request.quality,
                          static_cast<int>(std::lround(result.dpi)), writerError)) {
            failure = 2;
            fz_throw(m_context, FZ_ERROR_GENERIC, "jpeg");
        }
        // One band's pixels serve every band of the page. Pages are drawn on white (what is transparent in
        // the PDF shows as paper): cleared once here, then again by the encoder as it takes each few rows.
        const std::size_t rowBytes = static_cast<std::size_t>(result.width) * components;
        const std::size_t samplesBytes = rowBytes * static_cast<std::size_t>(std::min(bandRows, result.height));
        bandSamples = static_cast<unsigned char*>(fz_malloc(m_context, samplesBytes));
        std::memset(bandSamples, 0xff, samplesBytes);
        for (int top = box.y0; top < box.y1; top += bandRows) {
            fz_irect slice = box;
            slice.y0 = top;
            slice.y1 = std::min(box.y1, top + bandRows);
            band = fz_new_pixmap_with_bbox_and_data(m_context, space, slice, nullptr, 0, bandSamples);
            device = fz_new_draw_device(m_context, fz_identity, band);
            fz_run_display_list(m_context, list, device, ctm, fz_rect_from_irect(slice), &cookie);
            fz_close_device(m_context, device);
            fz_drop_device(m_context, device);
            device = nullptr;
            stopIfCutShort();
            unsigned char* samples = fz_pixmap_samples(m_context, band);
            const std::ptrdiff_t stride = fz_pixmap_stride(m_context, band);
            const int rows = slice.y1 - slice.y0;
            if (request.blackWhite) {
                // A threshold, not a grey scale: every pixel black or white.
                for (int y = 0; y < rows; ++y) {
                    unsigned char* row = samples + y * stride;
                    for (int x = 0; x < result.width; ++x)
                        row[x] = row[x] < 128 ? 0 : 255;
                }
            }
            if (!writer.writeRowsAndFill(samples, rows, stride, 0xff, writerError)) {
                failure = 2;
                fz_throw(m_context, FZ_ERROR_GENERIC, "jpeg");
            }
            fz_drop_pixmap(m_context, band);
            band = nullptr;
        }
        if (!writer.finish(writerError)) {
            failure = 2;
            fz_throw(m_context, FZ_ERROR_GENERIC, "jpeg");
        }
    }
    fz_always(m_context)
    {
        t_runs = nullptr;
        if (device) {
            fz_drop_device(m_context, device);
        }
        fz_drop_pixmap(m_context, band);
        fz_free(m_context, bandSamples);
        fz_drop_display_list(m_context, list);
        fz_drop_page(m_context, page);
    }
    fz_catch(m_context)
    {
        if (!failure)
            failure = 1;
    }
    if (failure) {
        writer.abandon();
        if (failure == 2)
            result.error = writerError;
        else if (failure == 3)
            result.error = kStoppedError;
        else if (m_memory.ownLimitHit)
            result.error = kExhaustedError;
        else if (m_memory.sharedLimitHit)
            result.error = kCrowdedError;
        else
            result.error = fz_caught_message(m_context);
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace quarnel::render
