#include "conversion/render/RenderProtocol.h"

#include <sys/stat.h>

namespace quarnel::render {

namespace {
constexpr std::uint32_t kMaxMessage = 64u << 20;
}

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

bool IsWellFormedReply(const Message& message)
{
    if (message.size() < 2 || message[1].empty() || message[1].find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::string& kind = message[0];
    if (kind == "opened")
        return message.size() == 4 && !message[2].empty() && message[2].size() <= 9
            && message[2].find_first_not_of("0123456789") == std::string::npos;
    if (kind == "done")
        return message.size() == 6;
    return (kind == "failed" || kind == "error" || kind == "stopped" || kind == "exhausted") && message.size() == 3;
}

} // namespace quarnel::render
