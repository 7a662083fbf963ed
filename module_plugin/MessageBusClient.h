// The module's client of the framework's message bus.
#pragma once
#include "MessageBus.h"
#include "MessageBusShim.h"
#include "wrappers/ProcessAPI.h"

#include <atomic>

#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

namespace Taliro {

class MessageBusClient : public MessageBus {
public:
    // Loads the bus library itself (MessageBusLib); throws ModuleException when it cannot.
    MessageBusClient();
    MessageBusClient(std::shared_ptr<MessageBusShim> shim, std::shared_ptr<ProcessAPI> processApi);
    ~MessageBusClient() override;
    MessageBusClient(const MessageBusClient&) = delete;
    MessageBusClient& operator=(const MessageBusClient&) = delete;

    unsigned long publish(const std::shared_ptr<Message>& message) override;
    unsigned long request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                          const unsigned long long& value) override;
    unsigned long request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                          const unsigned long long& value) override;
    unsigned long subscribe(const std::wstring& name, const std::wstring& alias, SubscriptionHandler handler) override;
    unsigned long subscribe(const std::wstring& name, SubscriptionHandler handler) override;
    unsigned long subscribeSessionFiltered(const std::wstring& name, const std::wstring& alias,
                                           SubscriptionHandler handler) override;
    unsigned long subscribeSessionFiltered(const std::wstring& name, SubscriptionHandler handler) override;
    unsigned long subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                  SubscriptionHandler handler) override;
    unsigned long subscribeFilter(const std::wstring& pattern, SubscriptionHandler handler) override;
    unsigned long subscribeFilterSessionFiltered(const std::wstring& pattern, const std::wstring& alias,
                                                 SubscriptionHandler handler) override;
    unsigned long subscribeFilterSessionFiltered(const std::wstring& pattern, SubscriptionHandler handler) override;
    // Answers the first failure the bus reported for the alias's subscriptions, else 0.
    unsigned long unsubscribe(const std::wstring& alias) override;

    unsigned long replyCallback(unsigned long long index, const std::shared_ptr<Message>& message,
                                unsigned long status);
    unsigned long processDirectMessage(const std::shared_ptr<Message>& message);
    void unsubscribeAll();
    // The client's end, done at once by whoever ends its use (the module's end, a replacement)
    // while other threads may still hold shares: replies fail, the reply callback is withdrawn and
    // every subscription removed, without waiting for calls still inside the bus. Done once.
    void close();

    unsigned long sessionId() const { return m_sessionId; }

    struct Subscription;
    struct Subscriptions;
    struct PendingReplies;

private:
    unsigned long addSubscription(const std::wstring& text, const std::wstring& alias, SubscriptionHandler handler,
                                  bool pattern);
    unsigned long makeRequest(const std::shared_ptr<Message>& message, ReplyHandler handler,
                              std::shared_ptr<Reply>* reply, const unsigned long long& value);
    SubscriptionHandler sessionFiltered(SubscriptionHandler handler) const;

    // A call holds shares of the shim and of the state it touches once the bus has returned, and
    // reads nothing else of the client then: the client may go meanwhile, on any thread, and its
    // end waits for no call.
    std::shared_ptr<MessageBusShim> m_shim;
    std::shared_ptr<ProcessAPI> m_processApi;
    std::shared_ptr<Subscriptions> m_subscriptions;
    std::shared_ptr<PendingReplies> m_replies;
    std::atomic<bool> m_ending{false}; // publish is refused once the end has begun
    std::shared_ptr<ReplyFunction> m_replyFunction;
    void* m_replyContext = nullptr;
    unsigned long m_sessionId = 0;
};

} // namespace Taliro
