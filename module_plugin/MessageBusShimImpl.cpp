#include "MessageBusShim.h"

#include "ModuleStatus.h"

#include <map>
#include <mutex>
#include <unordered_map>

namespace Taliro {

namespace {

constexpr const wchar_t* kSource = L"MessageBusShimImpl";

struct ContextTable {
    std::mutex lock;
    unsigned long long next = 1;
    std::unordered_map<unsigned long long, std::weak_ptr<SubscriptionHandler>> handlers;
    std::unordered_map<unsigned long long, std::weak_ptr<ReplyFunction>> replyFunctions;
};

ContextTable& Contexts()
{
    static ContextTable* table = new ContextTable(); // bus threads may call until process exit
    return *table;
}

// Shims per bus handle: the reply callback is the same function for every client of the
// process, so withdrawing it for one would silence the others.
std::mutex g_handleUsersLock;
std::map<void*, unsigned long> g_handleUsers;

thread_local unsigned long t_callbackDepth = 0;

struct InCallback {
    InCallback() { ++t_callbackDepth; }
    ~InCallback() { --t_callbackDepth; }
    InCallback(const InCallback&) = delete;
    InCallback& operator=(const InCallback&) = delete;
};

} // namespace

namespace internal {

namespace {

unsigned long long Key(void* token) { return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(token)); }

template <typename T>
void* Add(std::unordered_map<unsigned long long, std::weak_ptr<T>> ContextTable::*map, const std::shared_ptr<T>& object)
{
    ContextTable& table = Contexts();
    std::lock_guard<std::mutex> lock(table.lock);
    unsigned long long token = table.next++;
    (table.*map)[token] = object;
    return reinterpret_cast<void*>(static_cast<uintptr_t>(token));
}

template <typename T>
std::shared_ptr<T> Find(std::unordered_map<unsigned long long, std::weak_ptr<T>> ContextTable::*map, void* token)
{
    ContextTable& table = Contexts();
    std::lock_guard<std::mutex> lock(table.lock);
    auto entry = (table.*map).find(Key(token));
    return entry == (table.*map).end() ? nullptr : entry->second.lock();
}

} // namespace

bool HasShimEntries(const MessageBusFunctions* functions)
{
    return functions && functions->publish && functions->request && functions->subscribe &&
           functions->subscribeFilter && functions->unsubscribe && functions->withdrawReplyCallback;
}

bool IsCompleteTable(const MessageBusFunctions* functions)
{
    return HasShimEntries(functions) && functions->getHandle && functions->releaseHandle;
}

bool InsideBusCallback() { return t_callbackDepth != 0; }

void* CallbackContexts::addHandler(const std::shared_ptr<SubscriptionHandler>& handler)
{
    return Add(&ContextTable::handlers, handler);
}

void* CallbackContexts::addReplyFunction(const std::shared_ptr<ReplyFunction>& function)
{
    return Add(&ContextTable::replyFunctions, function);
}

void CallbackContexts::remove(void* token)
{
    ContextTable& table = Contexts();
    std::lock_guard<std::mutex> lock(table.lock);
    table.handlers.erase(Key(token));
    table.replyFunctions.erase(Key(token));
}

std::shared_ptr<SubscriptionHandler> CallbackContexts::handler(void* token)
{
    return Find(&ContextTable::handlers, token);
}

std::shared_ptr<ReplyFunction> CallbackContexts::replyFunction(void* token)
{
    return Find(&ContextTable::replyFunctions, token);
}

size_t CallbackContexts::count()
{
    ContextTable& table = Contexts();
    std::lock_guard<std::mutex> lock(table.lock);
    return table.handlers.size() + table.replyFunctions.size();
}

} // namespace internal

MessageBusShimImpl::MessageBusShimImpl(void* handle, const MessageBusFunctions* functions)
    : m_handle(handle), m_functions(functions)
{
    if (!handle) {
        TALIRO_LOG(4, kSource, L"Taliro::MessageBusShimImpl::MessageBusShimImpl",
                   L"Invalid message bus handle. Throwing ModuleException.");
        throw ModuleException("Invalid message bus handle");
    }
    if (!internal::HasShimEntries(functions)) {
        TALIRO_LOG(4, kSource, L"Taliro::MessageBusShimImpl::MessageBusShimImpl",
                   L"Invalid message bus functions object. Throwing ModuleException.");
        throw ModuleException("Invalid message bus functions object");
    }
    std::lock_guard<std::mutex> lock(g_handleUsersLock);
    ++g_handleUsers[m_handle];
}

MessageBusShimImpl::~MessageBusShimImpl()
{
    try {
        unregisterReplyCallback();
    } catch (...) {
    }
}

unsigned long MessageBusShimImpl::publish(const std::shared_ptr<Message>& message)
{
    if (!message) return MODULE_STATUS_INVALID_PARAMETER;
    return m_functions->publish(m_handle, &message->getHeader(), message->getName().c_str(),
                                message->getSecond().c_str(), message->getThird().c_str());
}

unsigned long MessageBusShimImpl::request(const std::shared_ptr<Message>& message, unsigned long long index,
                                          void* context, unsigned long long value)
{
    if (!message) return MODULE_STATUS_INVALID_PARAMETER;
    return m_functions->request(m_handle, index, context, &MessageBusShimImpl::replyCallback, &message->getHeader(),
                                message->getName().c_str(), message->getSecond().c_str(),
                                message->getThird().c_str(), value);
}

unsigned long MessageBusShimImpl::unregisterReplyCallback()
{
    {
        std::lock_guard<std::mutex> lock(g_handleUsersLock);
        if (!m_replyCallbackRegistered) return MODULE_STATUS_SUCCESS;
        m_replyCallbackRegistered = false;
        auto users = g_handleUsers.find(m_handle);
        if (users != g_handleUsers.end() && --users->second > 0) return MODULE_STATUS_SUCCESS;
        if (users != g_handleUsers.end()) g_handleUsers.erase(users);
    }
    return m_functions->withdrawReplyCallback(m_handle, &MessageBusShimImpl::replyCallback);
}

unsigned long MessageBusShimImpl::subscribe(const std::wstring& name, void* context)
{
    return m_functions->subscribe(m_handle, context, &MessageBusShimImpl::messageCallback, name.c_str());
}

unsigned long MessageBusShimImpl::subscribeFilter(const std::wstring& pattern, void* context)
{
    return m_functions->subscribeFilter(m_handle, context, &MessageBusShimImpl::messageCallback, pattern.c_str());
}

unsigned long MessageBusShimImpl::unsubscribe(unsigned long id)
{
    return m_functions->unsubscribe(m_handle, id);
}

unsigned long MessageBusShimImpl::messageCallback(void* context, const MessageHeader* header, const wchar_t* name,
                                                  const wchar_t* second, const wchar_t* third)
{
    InCallback inside;
    try {
        if (!context || !name) return MODULE_STATUS_INVALID_PARAMETER;
        std::shared_ptr<SubscriptionHandler> handler = internal::CallbackContexts::handler(context);
        if (!handler || !*handler) return MODULE_STATUS_NOT_FOUND;
        return (*handler)(Message::fromRaw(header, name, second, third));
    } catch (...) {
        return MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
}

unsigned long MessageBusShimImpl::replyCallback(void* context, unsigned long long index, const MessageHeader* header,
                                                const wchar_t* name, const wchar_t* second, const wchar_t* third,
                                                unsigned long status)
{
    InCallback inside;
    try {
        if (!context) return MODULE_STATUS_INVALID_PARAMETER;
        std::shared_ptr<ReplyFunction> function = internal::CallbackContexts::replyFunction(context);
        if (!function || !*function) return MODULE_STATUS_NOT_FOUND;
        std::shared_ptr<Message> message;
        bool made = true;
        if (status == MODULE_STATUS_SUCCESS) {
            try {
                message = Message::fromRaw(header, name, second, third);
            } catch (...) {
                made = false;
            }
        }
        if (!made) {
            // Still resolved, as failed, so that nobody waits for it forever.
            unsigned long result = (*function)(index, nullptr, MODULE_STATUS_UNSUCCESSFUL);
            try {
                TALIRO_LOG(4, kSource, L"Taliro::MessageBusShimImpl::replyCallback",
                           L"Failed to make the reply message of index %llu.", index);
            } catch (...) {
            }
            return result;
        }
        return (*function)(index, message, status);
    } catch (...) {
        return MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
}

} // namespace Taliro
