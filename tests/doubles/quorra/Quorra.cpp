// Test double of the framework's message-bus library: the four exports, the bus function table,
// deliveries and replies on a thread of its own, scripted answers and counters (QuorraControl.h).
#include "ModuleTypes.h"
#include "QuorraControl.h"

#include <windows.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

QuorraState g_state;

struct Subscription {
    unsigned long id;
    void* context;
    MessageCallback callback;
    std::wstring text;
    bool pattern;
};

struct Bus {
    std::vector<Subscription> subscriptions;
    std::set<ReplyCallback> withdrawn;
};

std::mutex g_lock;
std::set<Bus*> g_buses;
unsigned long g_nextId = 0;

// One worker thread runs every delivery and reply; it ends with the last handle.
std::mutex g_queueLock;
std::condition_variable g_queueChanged;
std::deque<std::function<void()>> g_queue;
bool g_busy = false;
bool g_stop = false;
std::thread g_worker;

void WorkerLoop()
{
    std::unique_lock<std::mutex> lock(g_queueLock);
    for (;;) {
        g_queueChanged.wait(lock, [] { return g_stop || !g_queue.empty(); });
        if (g_queue.empty() || (g_worker.joinable() && g_worker.get_id() != std::this_thread::get_id())) break;
        std::function<void()> task = std::move(g_queue.front());
        g_queue.pop_front();
        g_busy = true;
        lock.unlock();
        task();
        lock.lock();
        g_busy = false;
        g_queueChanged.notify_all();
    }
}

void Enqueue(std::function<void()> task)
{
    std::lock_guard<std::mutex> lock(g_queueLock);
    if (!g_worker.joinable()) {
        g_stop = false;
        g_worker = std::thread(WorkerLoop);
    }
    g_queue.push_back(std::move(task));
    g_queueChanged.notify_all();
}

void StopWorker()
{
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(g_queueLock);
        g_stop = true;
        g_queueChanged.notify_all();
        worker = std::move(g_worker);
    }
    // Released from a callback on the worker itself, the worker ends by itself.
    if (worker.joinable()) worker.get_id() == std::this_thread::get_id() ? worker.detach() : worker.join();
}

std::wstring Text(const wchar_t* text) { return text ? text : L""; }

MessageHeader DeliveryHeader(const MessageHeader* from)
{
    MessageHeader header;
    if (from)
        std::memcpy(&header, from, from->version == 2 ? sizeof(MessageHeader) : kMessageHeaderV1Size);
    else
        std::memset(&header, 0, sizeof(header));
    if (!from || from->version != 2) {
        header.version = 2;
        header.sessionTag = 11;
        header.sessionLength = 8;
    }
    header.kind = 1;
    return header;
}

bool Matches(const Subscription& subscription, const std::wstring& name)
{
    if (!subscription.pattern) return subscription.text == name;
    try {
        std::wregex expression(subscription.text, std::regex::ECMAScript | std::regex::nosubs |
                                                      std::regex_constants::__polynomial);
        return std::regex_match(name, expression);
    } catch (...) {
        return false;
    }
}

unsigned long GetHandle(void** handle)
{
    InterlockedIncrement(&g_state.getHandle);
    if (!handle) return MODULE_STATUS_INVALID_PARAMETER;
    if (g_state.getHandleStatus) return static_cast<unsigned long>(g_state.getHandleStatus);
    Bus* bus = new Bus();
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_buses.insert(bus);
    }
    InterlockedIncrement(&g_state.liveHandles);
    *handle = bus;
    return MODULE_STATUS_SUCCESS;
}

unsigned long ReleaseHandle(void* handle)
{
    InterlockedIncrement(&g_state.releaseHandle);
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_buses.erase(static_cast<Bus*>(handle))) return MODULE_STATUS_INVALID_HANDLE;
        InterlockedExchangeAdd(&g_state.liveSubscriptions,
                               -static_cast<long>(static_cast<Bus*>(handle)->subscriptions.size()));
        delete static_cast<Bus*>(handle);
        last = g_buses.empty();
    }
    InterlockedDecrement(&g_state.liveHandles);
    if (last) StopWorker();
    return MODULE_STATUS_SUCCESS;
}

unsigned long Publish(void* handle, const MessageHeader* header, const wchar_t* name, const wchar_t* second,
                      const wchar_t* third)
{
    InterlockedIncrement(&g_state.publish);
    if (!name) return MODULE_STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_buses.count(static_cast<Bus*>(handle))) return MODULE_STATUS_INVALID_HANDLE;
    }
    const MessageHeader delivered = DeliveryHeader(header);
    const std::wstring nameText = name, secondText = Text(second), thirdText = Text(third);
    Enqueue([=] {
        // Subscriptions are copied out: a callback may subscribe or unsubscribe.
        std::vector<Subscription> targets;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            for (Bus* bus : g_buses)
                for (const Subscription& subscription : bus->subscriptions)
                    if (Matches(subscription, nameText)) targets.push_back(subscription);
        }
        for (const Subscription& target : targets) {
            unsigned long result =
                target.callback(target.context, &delivered, nameText.c_str(), secondText.c_str(), thirdText.c_str());
            InterlockedIncrement(&g_state.delivered);
            g_state.lastDeliveryResult = static_cast<long>(result);
        }
    });
    return MODULE_STATUS_SUCCESS;
}

unsigned long Request(void* handle, unsigned long long index, void* context, ReplyCallback callback,
                      const MessageHeader* header, const wchar_t* name, const wchar_t*, const wchar_t*,
                      unsigned long long)
{
    InterlockedIncrement(&g_state.request);
    if (!name || !callback) return MODULE_STATUS_INVALID_PARAMETER;
    Bus* bus = static_cast<Bus*>(handle);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_buses.count(bus)) return MODULE_STATUS_INVALID_HANDLE;
    }
    const long mode = g_state.replyMode;
    if (mode == kQuorraReplyNever) return MODULE_STATUS_SUCCESS;
    const MessageHeader reply = DeliveryHeader(header);
    const std::wstring replyName = L"Reply." + std::wstring(name);
    Enqueue([=] {
        {
            std::lock_guard<std::mutex> lock(g_lock);
            if (!g_buses.count(bus) || bus->withdrawn.count(callback)) return;
        }
        switch (mode) {
        case kQuorraReplyArrives:
            callback(context, index, &reply, replyName.c_str(), L"second", L"third", MODULE_STATUS_SUCCESS);
            break;
        case kQuorraReplyTimesOut:
            callback(context, index, nullptr, nullptr, nullptr, nullptr, MODULE_STATUS_TIMEOUT);
            break;
        case kQuorraReplyFails:
            callback(context, index, nullptr, nullptr, nullptr, nullptr, MODULE_STATUS_UNSUCCESSFUL);
            break;
        default:
            callback(context, index, &reply, nullptr, nullptr, nullptr, MODULE_STATUS_SUCCESS);
            break;
        }
    });
    return MODULE_STATUS_SUCCESS;
}

unsigned long AddSubscription(void* handle, void* context, MessageCallback callback, const wchar_t* text, bool pattern)
{
    InterlockedIncrement(pattern ? &g_state.subscribeFilter : &g_state.subscribe);
    if (!callback || !text) return 0;
    std::lock_guard<std::mutex> lock(g_lock);
    Bus* bus = static_cast<Bus*>(handle);
    if (!g_buses.count(bus)) return 0;
    const unsigned long id = ++g_nextId;
    bus->subscriptions.push_back({id, context, callback, text, pattern});
    InterlockedIncrement(&g_state.liveSubscriptions);
    return id;
}

unsigned long Subscribe(void* handle, void* context, MessageCallback callback, const wchar_t* name)
{
    return AddSubscription(handle, context, callback, name, false);
}

unsigned long SubscribeFilter(void* handle, void* context, MessageCallback callback, const wchar_t* pattern)
{
    return AddSubscription(handle, context, callback, pattern, true);
}

unsigned long Unsubscribe(void* handle, unsigned long id)
{
    InterlockedIncrement(&g_state.unsubscribe);
    std::lock_guard<std::mutex> lock(g_lock);
    Bus* bus = static_cast<Bus*>(handle);
    if (!g_buses.count(bus)) return MODULE_STATUS_INVALID_HANDLE;
    for (auto it = bus->subscriptions.begin(); it != bus->subscriptions.end(); ++it) {
        if (it->id == id) {
            bus->subscriptions.erase(it);
            InterlockedDecrement(&g_state.liveSubscriptions);
            return MODULE_STATUS_SUCCESS;
        }
    }
    return MODULE_STATUS_NOT_FOUND;
}

unsigned long WithdrawReplyCallback(void* handle, ReplyCallback callback)
{
    InterlockedIncrement(&g_state.withdraw);
    std::lock_guard<std::mutex> lock(g_lock);
    Bus* bus = static_cast<Bus*>(handle);
    if (!g_buses.count(bus)) return MODULE_STATUS_INVALID_HANDLE;
    bus->withdrawn.insert(callback);
    return MODULE_STATUS_SUCCESS;
}

const MessageBusFunctions g_functions = {GetHandle,       ReleaseHandle, Publish,  Request, Subscribe,
                                         SubscribeFilter, Unsubscribe,   WithdrawReplyCallback};
const MessageBusFunctions g_holeyFunctions = {GetHandle,       ReleaseHandle, nullptr,  Request, Subscribe,
                                              SubscribeFilter, Unsubscribe,   WithdrawReplyCallback};

} // namespace

extern "C" {

__declspec(dllexport) void* CreateObject(unsigned long)
{
    InterlockedIncrement(&g_state.createObject);
    if (g_state.nullTable) return nullptr;
    return const_cast<MessageBusFunctions*>(g_state.holeyTable ? &g_holeyFunctions : &g_functions);
}

__declspec(dllexport) void ReleaseObject(void*) {}

__declspec(dllexport) const char* GetVersionStr() { return "9.9.9"; }

#ifndef QUORRA_WITHOUT_VERSIONNUM
__declspec(dllexport) unsigned long GetVersionNum() { return 9009009; }
#endif

__declspec(dllexport) QuorraState* QuorraControl() { return &g_state; }

__declspec(dllexport) int QuorraWaitIdle(unsigned long milliseconds)
{
    std::unique_lock<std::mutex> lock(g_queueLock);
    return g_queueChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                   [] { return g_queue.empty() && !g_busy; })
               ? 1
               : 0;
}
}
