#include "render/JpegWriter.h"

#include "files/DurableFiles.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <mutex>
#include <vector>

// The shortcut for flat blocks replaces the compressor's forward-transform module, declared in the
// library's private header, whose layout may change in any release: it is built only against the
// versions it was made for (2.0 and 2.1 share that module's layout; 3.0 changed it), and checked again
// at run time against the library actually loaded.
#if defined(LIBJPEG_TURBO_VERSION_NUMBER) && LIBJPEG_TURBO_VERSION_NUMBER >= 2000000                                   \
    && LIBJPEG_TURBO_VERSION_NUMBER < 3000000 && __has_include(<jpegint.h>)
#include <jpegint.h>
#define QUARNEL_FLAT_BLOCKS 1
#else
#define QUARNEL_FLAT_BLOCKS 0
#endif

namespace quarnel::render {

namespace {

// libjpeg reports errors by calling error_exit; jump back to the caller instead of exiting.
struct ErrorManager
{
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr info)
{
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->jump, 1);
}

} // namespace

#if QUARNEL_FLAT_BLOCKS
// A block of one value gives the same coefficients wherever it lies: the DC term alone, set by the value
// and the quantisation table. The encoder's own transform works each value out the first time it meets
// it, so what is reused is exactly what it would have computed.
struct JpegWriter::FlatBlocks
{
    using Transform
        = void (*)(j_compress_ptr, jpeg_component_info*, JSAMPARRAY, JBLOCKROW, JDIMENSION, JDIMENSION, JDIMENSION);
    Transform transform = nullptr;
    JpegWriter::FlatBlockFault fault = nullptr; // the self-check's stand-in for a library that moved
    JBLOCK blocks[NUM_QUANT_TBLS][256];
    bool known[NUM_QUANT_TBLS][256];

    static bool isFlat(JSAMPARRAY rows, JDIMENSION top, JDIMENSION left)
    {
        std::uint64_t first = 0;
        std::memcpy(&first, rows[top] + left, sizeof first);
        if (first != rows[top][left] * 0x0101010101010101ull)
            return false;
        for (JDIMENSION y = 1; y < DCTSIZE; ++y) {
            std::uint64_t row = 0;
            std::memcpy(&row, rows[top + y] + left, sizeof row);
            if (row != first)
                return false;
        }
        return true;
    }

    // Called by the encoder for each few blocks of a component, in place of its transform.
    static void forward(j_compress_ptr info, jpeg_component_info* component, JSAMPARRAY samples, JBLOCKROW out,
                        JDIMENSION top, JDIMENSION left, JDIMENSION count)
    {
        auto* self = static_cast<FlatBlocks*>(info->client_data);
        for (JDIMENSION i = 0; i < count; ++i) {
            const JDIMENSION x = left + i * DCTSIZE;
            if (!isFlat(samples, top, x)) {
                self->transform(info, component, samples, out + i, top, x, 1);
                continue;
            }
            const int table = component->quant_tbl_no;
            const int value = samples[top][x];
            if (!self->known[table][value]) {
                JSAMPLE flat[DCTSIZE][DCTSIZE];
                JSAMPROW rows[DCTSIZE];
                std::memset(flat, value, sizeof flat);
                for (int y = 0; y < DCTSIZE; ++y)
                    rows[y] = flat[y];
                self->transform(info, component, rows, &self->blocks[table][value], 0, 0, 1);
                if (self->fault)
                    self->fault(self->blocks[table][value]);
                self->known[table][value] = true;
            }
            std::memcpy(out[i], self->blocks[table][value], sizeof(JBLOCK));
        }
    }
};
#else
struct JpegWriter::FlatBlocks
{
};
#endif

std::string PartialName(const std::string& target)
{
    const std::size_t slash = target.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    const std::string name = target.substr(nameAt);
    // Within the file system's limit on a name: a long name's partial name is a hash of it instead.
    constexpr std::size_t kLongestName = 255;
    if (name.size() + 7 <= kLongestName)
        return target.substr(0, nameAt) + ".~" + name + ".part";
    std::uint64_t hash = 14695981039346656037ULL; // FNV-1a
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return target.substr(0, nameAt) + ".~" + text + ".part";
}

JpegWriter::JpegWriter(Blocks blocks)
    : m_info(new jpeg_compress_struct {})
    , m_errors(reinterpret_cast<jpeg_error_mgr*>(new ErrorManager {}))
{
    // 8-bit samples only: the flat test reads a block's row as eight bytes.
    if (blocks == Blocks::FlatOnesOnce && BITS_IN_JSAMPLE == 8 && FlatBlocksAreExact())
        m_flat = std::make_unique<FlatBlocks>();
}

namespace {

// A small picture with paper, tints and busy blocks, in tiles that do not line up with the blocks.
std::vector<unsigned char> checkPicture(int width, int height, int components)
{
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width * height * components));
    unsigned seed = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * components; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int tile = (x / components / 13 + y / 11) % 4;
            pixels[static_cast<std::size_t>(y * width * components + x)]
                = static_cast<unsigned char>(tile == 0       ? 255
                                                 : tile == 1 ? 200
                                                 : tile == 2 ? (seed >> 16) & 0xff
                                                             : 30 + x % 7);
        }
    return pixels;
}

// The picture encoded into memory, with or without the shortcut.
std::vector<unsigned char> encodeCheck(bool flat, JpegWriter::FlatBlockFault fault, int components, int quality)
{
    constexpr int kWidth = 75;
    constexpr int kHeight = 53;
    const std::vector<unsigned char> pixels = checkPicture(kWidth, kHeight, components);
    jpeg_compress_struct info {};
    jpeg_error_mgr errors {};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = kWidth;
    info.image_height = kHeight;
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
#if QUARNEL_FLAT_BLOCKS
    JpegWriter::FlatBlocks blocks;
    if (flat && info.fdct && info.fdct->forward_DCT) {
        std::memset(blocks.known, 0, sizeof blocks.known);
        blocks.transform = info.fdct->forward_DCT;
        blocks.fault = fault;
        info.client_data = &blocks;
        info.fdct->forward_DCT = JpegWriter::FlatBlocks::forward;
    }
#else
    (void)flat;
    (void)fault;
#endif
    for (int row = 0; row < kHeight; ++row) {
        auto* line = const_cast<JSAMPROW>(pixels.data() + static_cast<std::ptrdiff_t>(row) * kWidth * components);
        jpeg_write_scanlines(&info, &line, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<unsigned char> bytes(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return bytes;
}

} // namespace

bool JpegWriter::CheckFlatBlocks(FlatBlockFault fault)
{
    if (!QUARNEL_FLAT_BLOCKS || BITS_IN_JSAMPLE != 8)
        return false;
    for (const int components : {3, 1})
        for (const int quality : {85, 30})
            if (encodeCheck(true, fault, components, quality) != encodeCheck(false, nullptr, components, quality))
                return false;
    return true;
}

bool JpegWriter::FlatBlocksAreExact()
{
    static std::once_flag checked;
    static bool exact = false;
    std::call_once(checked, [] {
        exact = CheckFlatBlocks(nullptr);
        if (!exact && QUARNEL_FLAT_BLOCKS)
            std::fprintf(stderr,
                         "quarnel: this libjpeg-turbo is not the one the JPEG writer's shortcut was made "
                         "for; writing every block with the library's own path\n");
    });
    return exact;
}

JpegWriter::~JpegWriter()
{
    abandon();
    delete m_info;
    delete reinterpret_cast<ErrorManager*>(m_errors);
}

bool JpegWriter::start(const std::string& path, int width, int height, int components, int quality, int dpi,
                       std::string& error)
{
    // Written under a name of its own and renamed when complete, so that a page cut short (the process
    // ended, the disk full) never lies under its final name.
    const std::string partial = PartialName(path);
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || !(m_file = ::fdopen(fd, "wb"))) {
        error = std::string("cannot create ") + path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    // The encoder hands over 4 KB at a time; written out in larger pieces, a page costs far fewer calls.
    // The buffer must be our own: given none, the C library keeps its own size and ignores the one asked.
    constexpr std::size_t kBufferBytes = 256u << 10;
    if (!m_buffer)
        m_buffer = std::make_unique_for_overwrite<char[]>(kBufferBytes);
    std::setvbuf(m_file, m_buffer.get(), _IOFBF, kBufferBytes);
    m_path = partial;
    m_target = path;
    auto* manager = reinterpret_cast<ErrorManager*>(m_errors);
    m_info->err = jpeg_std_error(&manager->base);
    manager->base.error_exit = onError;
    if (setjmp(manager->jump)) {
        error = manager->message;
        abandon();
        return false;
    }
    jpeg_create_compress(m_info);
    m_started = true;
    jpeg_stdio_dest(m_info, m_file);
    m_info->image_width = static_cast<JDIMENSION>(width);
    m_info->image_height = static_cast<JDIMENSION>(height);
    m_info->input_components = components;
    m_info->in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(m_info);
    jpeg_set_quality(m_info, quality < 0 ? 0 : (quality > 100 ? 100 : quality), TRUE);
    if (components == 3) {
        // 4:2:0: the luminance sampled twice as often as each colour difference, both ways.
        m_info->comp_info[0].h_samp_factor = 2;
        m_info->comp_info[0].v_samp_factor = 2;
        m_info->comp_info[1].h_samp_factor = m_info->comp_info[1].v_samp_factor = 1;
        m_info->comp_info[2].h_samp_factor = m_info->comp_info[2].v_samp_factor = 1;
    }
    m_info->density_unit = 1; // dots per inch
    m_info->X_density = m_info->Y_density = static_cast<UINT16>(dpi > 0 && dpi < 65536 ? dpi : 72);
    m_info->write_JFIF_header = TRUE;
    jpeg_start_compress(m_info, TRUE);
#if QUARNEL_FLAT_BLOCKS
    if (m_flat && m_info->fdct && m_info->fdct->forward_DCT) {
        // The tables depend on the quality: values are worked out afresh for each file.
        std::memset(m_flat->known, 0, sizeof m_flat->known);
        m_flat->transform = m_info->fdct->forward_DCT;
        m_info->client_data = m_flat.get();
        m_info->fdct->forward_DCT = FlatBlocks::forward;
    }
#endif
    return true;
}

bool JpegWriter::writeRows(const unsigned char* pixels, int rows, std::ptrdiff_t stride, std::string& error)
{
    return write(pixels, rows, stride, nullptr, error);
}

bool JpegWriter::writeRowsAndFill(unsigned char* pixels, int rows, std::ptrdiff_t stride, unsigned char fill,
                                  std::string& error)
{
    return write(pixels, rows, stride, &fill, error);
}

bool JpegWriter::write(const unsigned char* pixels, int rows, std::ptrdiff_t stride, const unsigned char* fill,
                       std::string& error)
{
    auto* manager = reinterpret_cast<ErrorManager*>(m_errors);
    if (setjmp(manager->jump)) {
        error = manager->message;
        abandon();
        return false;
    }
    // Handed over a few rows at a time: the encoder works in groups of rows anyway.
    constexpr int kRowsAtOnce = 32;
    JSAMPROW lines[kRowsAtOnce];
    for (int row = 0; row < rows;) {
        const int count = std::min(kRowsAtOnce, rows - row);
        for (int i = 0; i < count; ++i)
            lines[i] = const_cast<JSAMPROW>(pixels + (row + i) * stride);
        // A file destination never suspends: every row handed over is taken.
        jpeg_write_scanlines(m_info, lines, static_cast<JDIMENSION>(count));
        // The encoder keeps what it needs of the rows in buffers of its own.
        if (fill)
            std::memset(lines[0], *fill,
                        static_cast<std::size_t>((count - 1) * stride)
                            + static_cast<std::size_t>(m_info->image_width) * m_info->input_components);
        row += count;
    }
    return true;
}

bool JpegWriter::finish(std::string& error)
{
    auto* manager = reinterpret_cast<ErrorManager*>(m_errors);
    if (setjmp(manager->jump)) {
        error = manager->message;
        abandon();
        return false;
    }
    jpeg_finish_compress(m_info);
    jpeg_destroy_compress(m_info);
    m_started = false;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (!closed) {
        error = std::string("cannot write ") + m_target + ": " + std::strerror(errno);
        abandon();
        return false;
    }
    if (const int failure = files::PlaceWithoutReplacing(m_path, m_target)) {
        error = std::string("cannot create ") + m_target + ": " + std::strerror(failure);
        abandon();
        return false;
    }
    m_path.clear();
    return true;
}

void JpegWriter::abandon()
{
    if (m_started) {
        jpeg_destroy_compress(m_info);
        m_started = false;
    }
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_path.empty()) {
        ::unlink(m_path.c_str());
        m_path.clear();
    }
}

} // namespace quarnel::render
