// The seam between the bus client and the bus library's table of plain functions.
#pragma once
#include "MessageBus.h"
#include "ModuleTypes.h"

#include <memory>
#include <string>

namespace Taliro {

class SharedLibrary;

class MessageBusShim {
public:
    virtual unsigned long publish(const std::shared_ptr<Message>& message) = 0;
    virtual unsigned long request(const std::shared_ptr<Message>& message, unsigned long long index, void* context,
                                  unsigned long long value) = 0;
    virtual unsigned long unregisterReplyCallback() = 0;
    virtual unsigned long subscribe(const std::wstring& name, void* context) = 0;
    virtual unsigned long subscribeFilter(const std::wstring& pattern, void* context) = 0;
    virtual unsigned long unsubscribe(unsigned long id) = 0;
    virtual ~MessageBusShim() = default;
};

// Adapts a bus handle and function table that somebody else owns.
class MessageBusShimImpl : public MessageBusShim {
public:
    // Throws ModuleException for a null handle or table.
    MessageBusShimImpl(void* handle, const MessageBusFunctions* functions);
    ~MessageBusShimImpl() override;
    // One shim, one place in the handle's count of users.
    MessageBusShimImpl(const MessageBusShimImpl&) = delete;
    MessageBusShimImpl& operator=(const MessageBusShimImpl&) = delete;

    unsigned long publish(const std::shared_ptr<Message>& message) override;
    unsigned long request(const std::shared_ptr<Message>& message, unsigned long long index, void* context,
                          unsigned long long value) override;
    // The bus is told to stop calling the reply callback only when no other shim of this process
    // still uses the same bus handle; a second call does nothing.
    unsigned long unregisterReplyCallback() override;
    unsigned long subscribe(const std::wstring& name, void* context) override;
    unsigned long subscribeFilter(const std::wstring& pattern, void* context) override;
    unsigned long unsubscribe(unsigned long id) override;

    // The two callbacks handed to the bus.
    static unsigned long messageCallback(void* context, const MessageHeader* header, const wchar_t* name,
                                         const wchar_t* second, const wchar_t* third);
    static unsigned long replyCallback(void* context, unsigned long long index, const MessageHeader* header,
                                       const wchar_t* name, const wchar_t* second, const wchar_t* third,
                                       unsigned long status);

private:
    void* m_handle;
    const MessageBusFunctions* m_functions;
    bool m_replyCallbackRegistered = true;
};

// Loads the bus library, obtains its table and a bus handle, and releases both again.
class MessageBusLib : public MessageBusShim {
public:
    // Empty arguments are made: the library from the bus library's description, the inner shim
    // over the handle obtained. Throws ModuleException.
    explicit MessageBusLib(std::shared_ptr<SharedLibrary> library = nullptr,
                           std::shared_ptr<MessageBusShim> inner = nullptr);
    ~MessageBusLib() override;

    unsigned long publish(const std::shared_ptr<Message>& message) override;
    unsigned long request(const std::shared_ptr<Message>& message, unsigned long long index, void* context,
                          unsigned long long value) override;
    unsigned long unregisterReplyCallback() override;
    unsigned long subscribe(const std::wstring& name, void* context) override;
    unsigned long subscribeFilter(const std::wstring& pattern, void* context) override;
    unsigned long unsubscribe(unsigned long id) override;

private:
    void releaseHandle();

    std::shared_ptr<SharedLibrary> m_library;
    std::shared_ptr<MessageBusShim> m_inner;
    void* m_handle = nullptr;
    const MessageBusFunctions* m_functions = nullptr;
};

namespace internal {

// A table without a null entry: one that has any would crash where that entry is first called.
bool IsCompleteTable(const MessageBusFunctions* functions);
// The same for the entries a shim over a handle it does not own calls (not get or release handle).
bool HasShimEntries(const MessageBusFunctions* functions);

// Whether this thread is inside one of the module's bus callbacks (the bus's own code is then
// further up its stack).
bool InsideBusCallback();

// Contexts handed to the bus are tokens, not object addresses: the bus may call with a token
// after its handler or client has gone, and then finds nothing instead of freed memory.
class CallbackContexts {
public:
    static void* addHandler(const std::shared_ptr<SubscriptionHandler>& handler);
    static void* addReplyFunction(const std::shared_ptr<ReplyFunction>& function);
    static void remove(void* token);
    static std::shared_ptr<SubscriptionHandler> handler(void* token);
    static std::shared_ptr<ReplyFunction> replyFunction(void* token);
    // Tokens currently registered.
    static size_t count();
};

} // namespace internal

} // namespace Taliro
