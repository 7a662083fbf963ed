// Bus messages, replies and the bus interface that the module offers.
#pragma once
#include "ModuleTypes.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace Taliro {

class Message {
public:
    Message(std::wstring name, std::wstring second, std::wstring third);
    virtual ~Message() = default;
    Message(const Message&) = default;
    Message& operator=(const Message&) = default;

    const std::wstring& getName() const { return m_name; }
    const std::wstring& getSecond() const { return m_second; }
    const std::wstring& getThird() const { return m_third; }
    const MessageHeader& getHeader() const { return m_header; }
    MessageHeader& getHeader() { return m_header; }

    // The default header: kind 1, version 2, session record tag 11 and length 8, all else 0.
    static MessageHeader defaultHeader();
    // A message from raw fields. Null header: the default one; a header of another version than
    // 2 gives its first 100 bytes and is upgraded. Null second or third text: empty. Throws
    // std::invalid_argument for a null name.
    static std::shared_ptr<Message> fromRaw(const MessageHeader* header, const wchar_t* name, const wchar_t* second,
                                            const wchar_t* third);
    // Overwrites this message's header by the rules of fromRaw.
    void copyHeader(const MessageHeader* header);

private:
    std::wstring m_name;
    std::wstring m_second;
    std::wstring m_third;
    MessageHeader m_header;
};

// Reply status values.
enum ReplyStatus : unsigned long {
    kReplyArrived = 0,
    kReplyPending = 1,
    kReplyTimedOut = 2,
    kReplyFailed = 3,
};

class Reply {
public:
    virtual ~Reply() = default;
    virtual unsigned long getStatus() = 0;
    virtual std::shared_ptr<Message> getMessage() = 0;
    virtual unsigned long updateStatus() = 0;
    virtual unsigned long waitFor(const std::chrono::milliseconds duration) = 0;
};

using SubscriptionHandler = std::function<unsigned long(std::shared_ptr<Message>)>;
using ReplyFunction = std::function<unsigned long(unsigned long long, const std::shared_ptr<Message>&, unsigned long)>;
using ReplyHandler = std::function<void(std::shared_ptr<Reply>)>;

class MessageBus {
public:
    virtual ~MessageBus() = default;
    virtual unsigned long publish(const std::shared_ptr<Message>& message) = 0;
    virtual unsigned long request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                                  const unsigned long long& value) = 0;
    virtual unsigned long request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                  const unsigned long long& value) = 0;
    virtual unsigned long subscribe(const std::wstring& name, const std::wstring& alias,
                                    SubscriptionHandler handler) = 0;
    virtual unsigned long subscribe(const std::wstring& name, SubscriptionHandler handler) = 0;
    virtual unsigned long subscribeSessionFiltered(const std::wstring& name, const std::wstring& alias,
                                                   SubscriptionHandler handler) = 0;
    virtual unsigned long subscribeSessionFiltered(const std::wstring& name, SubscriptionHandler handler) = 0;
    virtual unsigned long subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                          SubscriptionHandler handler) = 0;
    virtual unsigned long subscribeFilter(const std::wstring& pattern, SubscriptionHandler handler) = 0;
    virtual unsigned long subscribeFilterSessionFiltered(const std::wstring& pattern, const std::wstring& alias,
                                                         SubscriptionHandler handler) = 0;
    virtual unsigned long subscribeFilterSessionFiltered(const std::wstring& pattern,
                                                         SubscriptionHandler handler) = 0;
    virtual unsigned long unsubscribe(const std::wstring& alias) = 0;
};

} // namespace Taliro
