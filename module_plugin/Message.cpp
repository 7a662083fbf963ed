#include "MessageBus.h"

#include <cstring>
#include <stdexcept>

namespace Taliro {

MessageHeader Message::defaultHeader()
{
    MessageHeader header;
    std::memset(&header, 0, sizeof(header));
    header.kind = 1;
    header.version = 2;
    header.sessionTag = 11;
    header.sessionLength = 8;
    return header;
}

Message::Message(std::wstring name, std::wstring second, std::wstring third)
    : m_name(std::move(name)), m_second(std::move(second)), m_third(std::move(third)), m_header(defaultHeader())
{
    m_header.totalSize =
        static_cast<uint32_t>(sizeof(MessageHeader) + 2 * (m_name.size() + m_second.size() + m_third.size()) + 6);
}

void Message::copyHeader(const MessageHeader* header)
{
    if (!header) return;
    if (header->version == 2) {
        std::memcpy(&m_header, header, sizeof(MessageHeader));
        return;
    }
    MessageHeader upgraded = defaultHeader();
    std::memcpy(&upgraded, header, kMessageHeaderV1Size);
    upgraded.totalSize += 8;
    upgraded.version = 2;
    m_header = upgraded;
}

std::shared_ptr<Message> Message::fromRaw(const MessageHeader* header, const wchar_t* name, const wchar_t* second,
                                          const wchar_t* third)
{
    if (!name) throw std::invalid_argument("message without name");
    auto message = std::make_shared<Message>(name, second ? second : L"", third ? third : L"");
    message->copyHeader(header);
    return message;
}

} // namespace Taliro
