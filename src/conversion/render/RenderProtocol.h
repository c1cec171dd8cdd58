#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarnel::render {

// Messages between the program and its renderer worker: a 4-byte little-endian length, then fields
// separated by NUL bytes (no path holds one).
//   to the worker:   "open" id path | "render" id path page dpi quality blackWhite target
//                    | "ahead" (the same fields: a page that will be needed, rendered when no other waits)
//                    | "forget" (drop the pages asked for ahead that are still waiting)
//                    | "hurry" id (a page asked for ahead is needed now)
//   from the worker: "opened" id pages version | "failed" id message | "done" id width height dpi version
//                    | "error" id message
//                    | "stopped" id message (the page ran past its time limit)
//                    | "exhausted" id message (the page needs more memory than the renderer may use)
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

// The version of a file as the messages carry it: device, inode, size and modification time.
std::string FileVersionText(unsigned long long device, unsigned long long inode, long long size, long long seconds,
                            long long nanoseconds);
// The same for the file at this path now; empty when there is none.
std::string FileVersionTextOf(const std::string& path);

// True when a reply from the worker has the fields its kind needs.
bool IsWellFormedReply(const Message& message);

// The time one page may take before its rendering is stopped.
inline constexpr int kPageTimeLimitSeconds = 60;
// The memory all of a worker's MuPDF renderers may hold together; with its code and buffers the worker
// stays under 1 GiB.
inline constexpr std::size_t kRendererMemoryBytes = 768u << 20;

} // namespace quarnel::render
