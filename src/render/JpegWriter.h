#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct jpeg_compress_struct;
struct jpeg_error_mgr;

namespace quarnel::render {

// The name a page is written under until it is complete: hidden, and not matching "*.jpg".
std::string PartialName(const std::string& target);

// Streams rows of pixels into a JPEG file: RGB with 4:2:0 chroma, or one grey channel. The resolution
// goes into the file's density fields.
class JpegWriter final
{
public:
    // The encoder as it comes, or (the default) one that transforms each flat 8 x 8 block's value once per
    // file and reuses it: most blocks of a page of text are plain paper. The files are the same to the byte.
    enum class Blocks {
        EachTransformed,
        FlatOnesOnce,
    };

    // With FlatOnesOnce, the shortcut is used only where this library was checked to give its own bytes
    // with it (else every block goes the library's way).
    explicit JpegWriter(Blocks blocks = Blocks::FlatOnesOnce);

    // Whether the shortcut gives the library's own bytes with the library loaded now: a small picture
    // encoded into memory both ways and compared, once per process (said once on stderr when not).
    static bool FlatBlocksAreExact();
    // The same check with a fault put into the reused blocks, as a library whose private layout moved
    // would; for tests.
    using FlatBlockFault = void (*)(short (&block)[64]);
    static bool CheckFlatBlocks(FlatBlockFault fault);
    struct FlatBlocks;
    ~JpegWriter();
    JpegWriter(const JpegWriter&) = delete;
    JpegWriter& operator=(const JpegWriter&) = delete;

    // Starts the file; it appears under `path` (which must not exist yet) only when finished. False with a
    // message on failure.
    bool start(const std::string& path, int width, int height, int components, int quality, int dpi,
               std::string& error);
    // Writes `rows` rows of `width * components` bytes each, `stride` bytes apart.
    bool writeRows(const unsigned char* pixels, int rows, std::ptrdiff_t stride, std::string& error);
    // The same, and each few rows are then set to `fill` as soon as the encoder has taken them, while they
    // are still in the processor's cache: a band drawn again and again comes back cleared for the next one.
    bool writeRowsAndFill(unsigned char* pixels, int rows, std::ptrdiff_t stride, unsigned char fill,
                          std::string& error);
    bool finish(std::string& error);
    // Stops and removes a file that could not be finished.
    void abandon();

private:
    bool write(const unsigned char* pixels, int rows, std::ptrdiff_t stride, const unsigned char* fill,
               std::string& error);

    jpeg_compress_struct* m_info = nullptr;
    jpeg_error_mgr* m_errors = nullptr;
    std::unique_ptr<FlatBlocks> m_flat; // null: every block transformed by the encoder
    std::FILE* m_file = nullptr;
    std::unique_ptr<char[]> m_buffer; // the file's, until it is closed
    std::string m_path; // the file being written
    std::string m_target; // its name once complete
    bool m_started = false;
};

} // namespace quarnel::render
