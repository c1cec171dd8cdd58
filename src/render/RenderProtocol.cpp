#include "render/RenderProtocol.h"

#include <charconv>
#include <sys/stat.h>

namespace quarnel::render {

namespace {

constexpr std::uint32_t kMaxMessage = 64u << 20;

struct KindName
{
    const char* name;
    std::size_t fields; // with the kind itself
};

KindName nameOf(RequestKind kind)
{
    switch (kind) {
    case RequestKind::Open:
        return {"open", 3};
    case RequestKind::Render:
        return {"render", 8};
    case RequestKind::Ahead:
        return {"ahead", 8};
    case RequestKind::Forget:
        return {"forget", 1};
    case RequestKind::Hurry:
        return {"hurry", 2};
    }
    return {"", 0};
}

KindName nameOf(ReplyKind kind)
{
    switch (kind) {
    case ReplyKind::Opened:
        return {"opened", 4};
    case ReplyKind::OpenFailed:
        return {"failed", 3};
    case ReplyKind::Done:
        return {"done", 6};
    case ReplyKind::Failed:
        return {"error", 3};
    case ReplyKind::Stopped:
        return {"stopped", 3};
    case ReplyKind::Exhausted:
        return {"exhausted", 3};
    }
    return {"", 0};
}

// The kind a message names, when it has that kind's fields.
template <typename Kind, Kind... kinds> std::optional<Kind> kindOf(const Message& message)
{
    std::optional<Kind> found;
    ((!message.empty() && message[0] == nameOf(kinds).name && message.size() == nameOf(kinds).fields
          ? void(found = kinds)
          : void()),
     ...);
    return found;
}

// Numbers are written and read the same whatever the locale.
std::string fixed(double value, int decimals)
{
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    return std::string(text, end);
}

template <typename Number> bool parse(const std::string& text, Number& value)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

bool parseId(const std::string& text, int& id)
{
    return text.find_first_not_of("0123456789") == std::string::npos && parse(text, id);
}

} // namespace

std::string EncodeMessage(const Message& fields)
{
    std::string payload;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            payload.push_back('\0');
        payload += fields[i];
    }
    const auto size = static_cast<std::uint32_t>(payload.size());
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i)
        frame[static_cast<std::size_t>(i)] = static_cast<char>((size >> (8 * i)) & 0xff);
    return frame + payload;
}

bool MessageReader::next(Message& message)
{
    if (m_buffer.size() < 4)
        return false;
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i)
        size |= static_cast<std::uint32_t>(static_cast<unsigned char>(m_buffer[static_cast<std::size_t>(i)]))
            << (8 * i);
    if (size > kMaxMessage) {
        m_buffer.clear();
        m_broken = true;
        return false;
    }
    if (m_buffer.size() < 4 + static_cast<std::size_t>(size))
        return false;
    message.clear();
    std::string field;
    for (std::size_t i = 4; i < 4 + size; ++i) {
        if (m_buffer[i] == '\0') {
            message.push_back(field);
            field.clear();
        } else {
            field.push_back(m_buffer[i]);
        }
    }
    message.push_back(field);
    m_buffer.erase(0, 4 + size);
    return true;
}

std::string Encode(const Request& request)
{
    Message fields {nameOf(request.kind).name};
    if (request.kind != RequestKind::Forget)
        fields.push_back(std::to_string(request.id));
    if (request.kind == RequestKind::Open || request.kind == RequestKind::Render || request.kind == RequestKind::Ahead)
        fields.push_back(request.path);
    if (request.kind == RequestKind::Render || request.kind == RequestKind::Ahead) {
        const PageRequest& page = request.page;
        fields.insert(fields.end(),
                      {std::to_string(page.page), fixed(page.dpi, 3), std::to_string(page.quality),
                       page.blackWhite ? "1" : "0", page.target});
    }
    return EncodeMessage(fields);
}

std::optional<Request> DecodeRequest(const Message& message)
{
    const auto kind = kindOf<RequestKind, RequestKind::Open, RequestKind::Render, RequestKind::Ahead,
                             RequestKind::Forget, RequestKind::Hurry>(message);
    if (!kind)
        return std::nullopt;
    Request request;
    request.kind = *kind;
    if (*kind != RequestKind::Forget && !parseId(message[1], request.id))
        return std::nullopt;
    if (*kind == RequestKind::Open)
        request.path = message[2];
    if (*kind == RequestKind::Render || *kind == RequestKind::Ahead) {
        request.path = message[2];
        PageRequest& page = request.page;
        if (!parse(message[3], page.page) || !parse(message[4], page.dpi) || !parse(message[5], page.quality))
            return std::nullopt;
        page.blackWhite = message[6] == "1";
        page.target = message[7];
    }
    return request;
}

std::string Encode(const Reply& reply)
{
    Message fields {nameOf(reply.kind).name, std::to_string(reply.id)};
    if (reply.kind == ReplyKind::Opened)
        fields.insert(fields.end(), {std::to_string(reply.pages), reply.version});
    else if (reply.kind == ReplyKind::Done)
        fields.insert(fields.end(),
                      {std::to_string(reply.width), std::to_string(reply.height), fixed(reply.dpi, 6), reply.version});
    else
        fields.push_back(reply.message);
    return EncodeMessage(fields);
}

std::optional<Reply> DecodeReply(const Message& message)
{
    const auto kind = kindOf<ReplyKind, ReplyKind::Opened, ReplyKind::OpenFailed, ReplyKind::Done, ReplyKind::Failed,
                             ReplyKind::Stopped, ReplyKind::Exhausted>(message);
    Reply reply;
    if (!kind || !parseId(message[1], reply.id))
        return std::nullopt;
    reply.kind = *kind;
    switch (*kind) {
    case ReplyKind::Opened:
        // A page count of up to nine digits: one that does not fit is no answer.
        if (message[2].size() > 9 || !parseId(message[2], reply.pages))
            return std::nullopt;
        reply.version = message[3];
        break;
    case ReplyKind::Done:
        if (!parse(message[2], reply.width) || !parse(message[3], reply.height) || !parse(message[4], reply.dpi))
            return std::nullopt;
        reply.version = message[5];
        break;
    default:
        reply.message = message[2];
    }
    return reply;
}

std::string FileVersionText(unsigned long long device, unsigned long long inode, long long size, long long seconds,
                            long long nanoseconds)
{
    return std::to_string(device) + ':' + std::to_string(inode) + ':' + std::to_string(size) + ':'
        + std::to_string(seconds) + '.' + std::to_string(nanoseconds);
}

std::string FileVersionTextOf(const std::string& path)
{
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    return FileVersionText(info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
}

} // namespace quarnel::render
