#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarnel::render {

// Messages between the program and its renderer worker. On the wire: a 4-byte little-endian length,
// then text fields separated by NUL bytes (no path holds one), the first naming the kind.
//   to the worker:   open id path | render id path page dpi quality blackWhite target
//                    | ahead (the same fields) | forget | hurry id
//   from the worker: opened id pages version | failed id message | done id width height dpi version
//                    | error id message | stopped id message | exhausted id message
using Message = std::vector<std::string>;

std::string EncodeMessage(const Message& fields);

// Collects bytes and hands out whole messages.
class MessageReader
{
public:
    void append(const char* data, std::size_t size)
    {
        if (!m_broken)
            m_buffer.append(data, size);
    }
    // True with the next whole message, if one has arrived.
    bool next(Message& message);
    // A length no message can have was read: where the next message starts is lost for good, so
    // nothing more is handed out and the peer must be ended.
    bool broken() const { return m_broken; }

private:
    std::string m_buffer;
    bool m_broken = false;
};

// One page to render.
struct PageRequest
{
    int page = 0; // from 0
    double dpi = 72; // carried to a thousandth
    int quality = 85;
    bool blackWhite = false;
    std::string target; // a JPEG file that must not exist yet
    bool operator==(const PageRequest&) const = default;
};

enum class RequestKind {
    Open, // count the pages of `path`
    Render, // render `page` of `path`, needed now
    Ahead, // the same for a page that will be needed: rendered when no page needed now waits
    Forget, // drop the pages asked for ahead that are still waiting
    Hurry, // the page asked for ahead as `id` is needed now
};

struct Request
{
    RequestKind kind = RequestKind::Open;
    int id = 0;
    std::string path;
    PageRequest page;
};

enum class ReplyKind {
    Opened, // `pages` and the file's `version`
    OpenFailed, // `message`
    Done, // `width`, `height`, `dpi` and the file's `version`
    Failed, // the document refused the page: `message`
    Stopped, // the page ran past its time limit
    Exhausted, // the page needs more memory than the renderer may use
};

struct Reply
{
    ReplyKind kind = ReplyKind::Failed;
    int id = 0;
    int pages = 0;
    int width = 0;
    int height = 0;
    double dpi = 0;
    std::string version;
    std::string message;
};

std::string Encode(const Request& request);
std::string Encode(const Reply& reply);
// Empty when the message is not one of the kind with the fields it needs.
std::optional<Request> DecodeRequest(const Message& message);
std::optional<Reply> DecodeReply(const Message& message);

// The version of a file as the messages carry it: device, inode, size and modification time.
std::string FileVersionText(unsigned long long device, unsigned long long inode, long long size, long long seconds,
                            long long nanoseconds);
// The same for the file at this path now; empty when there is none.
std::string FileVersionTextOf(const std::string& path);

// The time one page may take before its rendering is stopped.
inline constexpr int kPageTimeLimitSeconds = 60;
// The memory all of a worker's MuPDF renderers may hold together; with its code and buffers the worker
// stays under 1 GiB.
inline constexpr std::size_t kRendererMemoryBytes = 768u << 20;

} // namespace quarnel::render
