#include "MessageBusClient.h"

#include "ModuleStatus.h"
#include "message/ReplyImpl.h"

#include <system_error>

namespace Taliro {

namespace {

constexpr const wchar_t* kSource = L"MessageBusClient";
constexpr unsigned long kFlagReplyExpected = 1u << 0;
constexpr unsigned long kFlagReply = 1u << 3;
constexpr unsigned long kFlagNonReplyCopy = 1u << 4;

// Matching runs on the automaton breadth-first: libstdc++'s default depth-first matcher recurses
// once per character, and a message name is caller-sized text that could exhaust the stack.
constexpr std::regex_constants::syntax_option_type kPatternSyntax =
    std::regex::ECMAScript | std::regex::nosubs | std::regex::optimize
#ifdef __GLIBCXX__
    | std::regex_constants::__polynomial
#endif
    ;

} // namespace

struct MessageBusClient::Subscription {
    unsigned long id = 0;
    std::wstring text; // name or pattern
    std::unique_ptr<std::wregex> expression;
    std::shared_ptr<SubscriptionHandler> handler;
    void* context = nullptr;
    bool removed = false; // taken out of the map while its bus subscription was being made
};

struct MessageBusClient::Subscriptions {
    struct AliasEntry {
        std::vector<std::shared_ptr<Subscription>> exact;
        std::vector<std::shared_ptr<Subscription>> patterns;
    };
    using AliasMap = std::unordered_map<std::wstring, AliasEntry>;

    std::mutex lock;
    AliasMap aliases = AliasMap(8);
    bool closed = false; // the client is going: a subscription made now would never be removed

    // Takes the entry's subscriptions out of the map (lock held) for unsubscribing outside it.
    static void detach(AliasEntry& entry, std::vector<std::shared_ptr<Subscription>>& out)
    {
        for (auto* list : {&entry.exact, &entry.patterns}) {
            for (auto& subscription : *list) {
                subscription->removed = true;
                out.push_back(subscription);
            }
        }
    }

    // The first failure the bus reported, else 0.
    unsigned long release(MessageBusShim& shim, const std::vector<std::shared_ptr<Subscription>>& subscriptions)
    {
        unsigned long first = MODULE_STATUS_SUCCESS;
        for (const auto& subscription : subscriptions) {
            unsigned long id = 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                id = subscription->id;
            }
            // Id 0: still being made; its subscribe call sees it removed and undoes it.
            if (id == 0) continue;
            unsigned long status = shim.unsubscribe(id);
            if (status != MODULE_STATUS_SUCCESS && first == MODULE_STATUS_SUCCESS) first = status;
            internal::CallbackContexts::remove(subscription->context);
        }
        return first;
    }
};

// Shared with the reply function, so a reply that arrives while the client goes finds this alive.
struct MessageBusClient::PendingReplies {
    struct Entry {
        std::promise<std::shared_ptr<Message>> promise;
        std::shared_future<std::shared_ptr<Message>> future;
        std::function<void()> handlerWrapper;
    };

    std::mutex lock;
    unsigned long long nextIndex = 0;
    bool closed = false;  // the client is going: a request made now would never end
    std::unordered_map<unsigned long long, Entry> pending;

    unsigned long complete(unsigned long long index, const std::shared_ptr<Message>& message, unsigned long status)
    {
        Entry entry;
        bool found = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            auto pendingEntry = pending.find(index);
            if (pendingEntry != pending.end()) {
                entry = std::move(pendingEntry->second);
                pending.erase(pendingEntry);
                found = true;
            }
        }
        if (!found) {
            TALIRO_LOG(2, kSource, L"Taliro::MessageBusClient::replyCallback", L"Reply index not found. Returning");
            return MODULE_STATUS_NOT_FOUND;
        }
        finish(entry, message, status);
        return MODULE_STATUS_SUCCESS;
    }

    // Fails whatever is still pending. An entry leaves the map under the lock either here or in
    // complete(), so a reply arriving meanwhile and this never both finish it.
    void failAll()
    {
        std::unordered_map<unsigned long long, Entry> taken;
        {
            std::lock_guard<std::mutex> guard(lock);
            closed = true;
            taken.swap(pending);
        }
        for (auto& item : taken) finish(item.second, nullptr, MODULE_STATUS_UNSUCCESSFUL);
    }

private:
    // Runs without the lock: a handler may request again.
    static void finish(Entry& entry, const std::shared_ptr<Message>& message, unsigned long status)
    {
        if (status == MODULE_STATUS_SUCCESS) {
            entry.promise.set_value(message);
        } else {
            const std::errc code =
                status == MODULE_STATUS_TIMEOUT ? std::errc::operation_canceled : std::errc::no_message_available;
            // std::future_error cannot carry an errc code here; a std::system_error carries it.
            entry.promise.set_exception(std::make_exception_ptr(std::system_error(std::make_error_code(code))));
        }
        if (entry.handlerWrapper) {
            try {
                entry.handlerWrapper();
            } catch (...) {
            }
        }
    }
};

MessageBusClient::MessageBusClient() : MessageBusClient(std::make_shared<MessageBusLib>(), nullptr) {}

MessageBusClient::MessageBusClient(std::shared_ptr<MessageBusShim> shim, std::shared_ptr<ProcessAPI> processApi)
    : m_shim(std::move(shim)),
      m_processApi(processApi ? std::move(processApi) : std::make_shared<ProcessAPI>()),
      m_subscriptions(std::make_shared<Subscriptions>()),
      m_replies(std::make_shared<PendingReplies>())
{
    std::shared_ptr<PendingReplies> replies = m_replies;
    m_replyFunction = std::make_shared<ReplyFunction>(
        [replies](unsigned long long index, const std::shared_ptr<Message>& message, unsigned long status) {
            return replies->complete(index, message, status);
        });
    m_replyContext = internal::CallbackContexts::addReplyFunction(m_replyFunction);

    const DWORD processId = m_processApi->getCurrentProcessId();
    DWORD session = 0;
    if (m_processApi->processIdToSessionId(processId, &session)) {
        m_sessionId = session;
        TALIRO_LOG(1, kSource, L"Taliro::MessageBusClient::MessageBusClient", L"Found session id %ld for process %ld",
                   static_cast<long>(m_sessionId), static_cast<long>(processId));
    } else {
        m_sessionId = 0;
        TALIRO_LOG(4, kSource, L"Taliro::MessageBusClient::MessageBusClient",
                   L"Failed to get the session id for process %ld - defaulting to %ld", static_cast<long>(processId),
                   0L);
    }
}

MessageBusClient::~MessageBusClient() { close(); }

void MessageBusClient::close()
{
    if (m_ending.exchange(true)) return;
    // No wait for calls other threads still have inside the bus: each holds what it touches when
    // it comes back, and it may be waiting for this thread (a lock of the bus or of the host).
    // From here a handler asking to publish or subscribe is refused; what a call still inside
    // the bus subscribes is removed, by this end or by that call itself.
    try {
        std::lock_guard<std::mutex> guard(m_subscriptions->lock);
        m_subscriptions->closed = true;
    } catch (...) {
    }
    // Replies before the bus is told anything: a handler blocked on a reply of this client would
    // hold up a bus whose unsubscribe (or withdrawal) waits for running handlers. A request that
    // the bus never answered ends here, as failed; its handler runs on this thread.
    try {
        m_replies->failAll();
    } catch (...) {
    }
    try {
        if (m_shim) m_shim->unregisterReplyCallback();
    } catch (...) {
    }
    internal::CallbackContexts::remove(m_replyContext);
    try {
        unsubscribeAll();
    } catch (...) {
    }
}

unsigned long MessageBusClient::publish(const std::shared_ptr<Message>& message)
{
    if (!message) return MODULE_STATUS_INVALID_PARAMETER;
    if (m_ending) return MODULE_STATUS_UNSUCCESSFUL;
    const std::shared_ptr<MessageBusShim> shim = m_shim;
    // Sent as copies: the caller's message stays as it was given.
    auto first = std::make_shared<Message>(*message);
    MessageHeader& header = first->getHeader();
    const bool nonReplyCopy = (header.flags & kFlagReplyExpected) && !(header.flags & (kFlagReply | kFlagNonReplyCopy));
    if (nonReplyCopy) header.flags |= kFlagNonReplyCopy;

    unsigned long status = shim->publish(first);
    if (status != MODULE_STATUS_SUCCESS) {
        TALIRO_LOG(4, kSource, L"Taliro::MessageBusClient::publish", L"Failed to publish message. Error code %lu.",
                   status);
        return status;
    }
    if (nonReplyCopy) {
        auto second = std::make_shared<Message>(*first);
        second->getHeader().flags &= ~kFlagReplyExpected;
        second->getHeader().replyCorrelation = 0;
        status = shim->publish(second);
        if (status != MODULE_STATUS_SUCCESS) {
            TALIRO_LOG(2, kSource, L"Taliro::MessageBusClient::publish",
                       L"Failed to publish non-reply copy of the message. Error code %lu.", status);
            // The first copy went out: a caller retrying on a plain failure would send it twice.
            return MODULE_STATUS_PARTIAL_SUCCESS;
        }
    }
    return MODULE_STATUS_SUCCESS;
}

unsigned long MessageBusClient::makeRequest(const std::shared_ptr<Message>& message, ReplyHandler handler,
                                            std::shared_ptr<Reply>* reply, const unsigned long long& value)
{
    const std::shared_ptr<PendingReplies> replies = m_replies;
    const std::shared_ptr<MessageBusShim> shim = m_shim;
    void* const context = m_replyContext;
    unsigned long long index = 0;
    std::shared_future<std::shared_ptr<Message>> future;
    bool duplicate = false;
    {
        std::lock_guard<std::mutex> guard(replies->lock);
        // Asked while the client goes (by a handler it runs, say): refused, as nothing would end it.
        if (replies->closed) return MODULE_STATUS_UNSUCCESSFUL;
        index = replies->nextIndex++;
        auto inserted = replies->pending.emplace(index, PendingReplies::Entry());
        duplicate = !inserted.second;
        if (!duplicate) {
            PendingReplies::Entry& entry = inserted.first->second;
            entry.future = entry.promise.get_future().share();
            future = entry.future;
            if (handler) {
                entry.handlerWrapper = [future, handler]() {
                    auto replyObject = std::make_shared<ReplyImpl>(future);
                    replyObject->updateStatus();
                    handler(replyObject);
                };
            }
        }
    }
    if (duplicate) {
        TALIRO_LOG(4, kSource, L"Taliro::MessageBusClient::request", L"Unable to create reply promise. Returning.");
        return MODULE_STATUS_UNSUCCESSFUL;
    }

    // The bus may answer before its request call returns: then the request has ended (its handler
    // called, its future set) and a failure the call reports after that is not the caller's too.
    auto withdraw = [&] {
        std::lock_guard<std::mutex> guard(replies->lock);
        return replies->pending.erase(index) != 0;
    };
    unsigned long status = MODULE_STATUS_UNKNOWN_EXCEPTION;
    try {
        status = shim->request(message, index, context, value);
    } catch (...) {
        if (withdraw()) throw;
        status = MODULE_STATUS_SUCCESS;
    }
    if (status != MODULE_STATUS_SUCCESS && withdraw()) {
        TALIRO_LOG(4, kSource, L"Taliro::MessageBusClient::request", L"Failed to make request. Error code %lu.",
                   status);
        return status;
    }
    if (reply) *reply = std::make_shared<ReplyImpl>(future);
    return MODULE_STATUS_SUCCESS;
}

unsigned long MessageBusClient::request(const std::shared_ptr<Message>& message, ReplyHandler handler,
                                        const unsigned long long& value)
{
    return makeRequest(message, std::move(handler), nullptr, value);
}

unsigned long MessageBusClient::request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                        const unsigned long long& value)
{
    return makeRequest(message, nullptr, &reply, value);
}

unsigned long MessageBusClient::replyCallback(unsigned long long index, const std::shared_ptr<Message>& message,
                                              unsigned long status)
{
    return m_replies->complete(index, message, status);
}

SubscriptionHandler MessageBusClient::sessionFiltered(SubscriptionHandler handler) const
{
    if (m_sessionId == 0) return handler;
    const unsigned long own = m_sessionId;
    return [own, handler](std::shared_ptr<Message> message) -> unsigned long {
        if (message) {
            const MessageHeader& header = message->getHeader();
            if (header.version == 2 && header.sessionId != 0 && header.sessionId != own) return MODULE_STATUS_SUCCESS;
        }
        return handler(std::move(message));
    };
}

unsigned long MessageBusClient::addSubscription(const std::wstring& text, const std::wstring& alias,
                                                SubscriptionHandler handler, bool pattern)
{
    const std::shared_ptr<Subscriptions> state = m_subscriptions;
    const std::shared_ptr<MessageBusShim> shim = m_shim;
    auto subscription = std::make_shared<Subscription>();
    subscription->text = text;
    if (pattern) subscription->expression = std::make_unique<std::wregex>(text, kPatternSyntax);
    subscription->handler = std::make_shared<SubscriptionHandler>(std::move(handler));
    subscription->context = internal::CallbackContexts::addHandler(subscription->handler);

    auto forget = [&] {
        std::lock_guard<std::mutex> guard(state->lock);
        auto entry = state->aliases.find(alias);
        if (entry == state->aliases.end()) return;
        auto& list = pattern ? entry->second.patterns : entry->second.exact;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (*it == subscription) {
                list.erase(it);
                break;
            }
        }
    };
    bool closed = false;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        // Asked while the client goes: refused, as nothing would remove it from the bus.
        closed = state->closed;
        if (!closed) {
            Subscriptions::AliasEntry& entry = state->aliases[alias];
            (pattern ? entry.patterns : entry.exact).push_back(subscription);
        }
    }
    if (closed) {
        internal::CallbackContexts::remove(subscription->context);
        return MODULE_STATUS_UNSUCCESSFUL;
    }

    unsigned long id = 0;
    try {
        id = pattern ? shim->subscribeFilter(text, subscription->context)
                     : shim->subscribe(text, subscription->context);
    } catch (...) {
        forget();
        internal::CallbackContexts::remove(subscription->context);
        throw;
    }

    if (id == 0) {
        forget();
        internal::CallbackContexts::remove(subscription->context);
        if (pattern)
            TALIRO_LOG(4, kSource, L"Taliro::MessageBusClient::subscribeFilter",
                       L"Failed to subscribeFilter. Alias: %ls Message nameRegex: %ls", alias.c_str(), text.c_str());
        else
            TALIRO_LOG(4, kSource, L"Taliro::MessageBusClient::subscribe",
                       L"Failed to subscribe. Alias: %ls Message name: %ls", alias.c_str(), text.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }

    bool removedMeanwhile = false;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        removedMeanwhile = subscription->removed;
        // A removed one keeps id 0, so that only this call undoes it on the bus.
        if (!removedMeanwhile) subscription->id = id;
    }
    if (removedMeanwhile) {
        // Unsubscribed while the bus was still making it: undo it here.
        shim->unsubscribe(id);
        internal::CallbackContexts::remove(subscription->context);
    }
    return MODULE_STATUS_SUCCESS;
}

unsigned long MessageBusClient::subscribe(const std::wstring& name, const std::wstring& alias,
                                          SubscriptionHandler handler)
{
    return addSubscription(name, alias, std::move(handler), false);
}

unsigned long MessageBusClient::subscribe(const std::wstring& name, SubscriptionHandler handler)
{
    return subscribe(name, name, std::move(handler));
}

unsigned long MessageBusClient::subscribeSessionFiltered(const std::wstring& name, const std::wstring& alias,
                                                         SubscriptionHandler handler)
{
    return subscribe(name, alias, sessionFiltered(std::move(handler)));
}

unsigned long MessageBusClient::subscribeSessionFiltered(const std::wstring& name, SubscriptionHandler handler)
{
    return subscribeSessionFiltered(name, name, std::move(handler));
}

unsigned long MessageBusClient::subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                                SubscriptionHandler handler)
{
    return addSubscription(pattern, alias, std::move(handler), true);
}

unsigned long MessageBusClient::subscribeFilter(const std::wstring& pattern, SubscriptionHandler handler)
{
    return subscribeFilter(pattern, pattern, std::move(handler));
}

unsigned long MessageBusClient::subscribeFilterSessionFiltered(const std::wstring& pattern, const std::wstring& alias,
                                                               SubscriptionHandler handler)
{
    return subscribeFilter(pattern, alias, sessionFiltered(std::move(handler)));
}

unsigned long MessageBusClient::subscribeFilterSessionFiltered(const std::wstring& pattern,
                                                               SubscriptionHandler handler)
{
    return subscribeFilterSessionFiltered(pattern, pattern, std::move(handler));
}

unsigned long MessageBusClient::unsubscribe(const std::wstring& alias)
{
    const std::shared_ptr<Subscriptions> state = m_subscriptions;
    const std::shared_ptr<MessageBusShim> shim = m_shim;
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        // While the client goes its end removes every subscription.
        if (state->closed) return MODULE_STATUS_SUCCESS;
        auto entry = state->aliases.find(alias);
        if (entry != state->aliases.end()) {
            found = true;
            Subscriptions::detach(entry->second, subscriptions);
            state->aliases.erase(entry);
        }
    }
    if (!found) {
        TALIRO_LOG(2, kSource, L"Taliro::MessageBusClient::unsubscribe", L"Subscription not found. Alias: %ls.",
                   alias.c_str());
        return MODULE_STATUS_SUCCESS;
    }
    return state->release(*shim, subscriptions);
}

void MessageBusClient::unsubscribeAll()
{
    const std::shared_ptr<Subscriptions> state = m_subscriptions;
    const std::shared_ptr<MessageBusShim> shim = m_shim;
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        for (auto& entry : state->aliases) Subscriptions::detach(entry.second, subscriptions);
        Subscriptions::AliasMap empty(8);
        state->aliases.swap(empty);
    }
    if (shim) state->release(*shim, subscriptions);
}

unsigned long MessageBusClient::processDirectMessage(const std::shared_ptr<Message>& message)
{
    if (!message) return MODULE_STATUS_INVALID_PARAMETER;
    std::vector<std::shared_ptr<SubscriptionHandler>> handlers;
    {
        std::lock_guard<std::mutex> guard(m_subscriptions->lock);
        const std::wstring& name = message->getName();
        for (const auto& entry : m_subscriptions->aliases) {
            for (const auto& subscription : entry.second.exact)
                if (subscription->text == name) handlers.push_back(subscription->handler);
            for (const auto& subscription : entry.second.patterns)
                if (std::regex_match(name, *subscription->expression)) handlers.push_back(subscription->handler);
        }
    }
    // Handlers run without the lock: one may subscribe, unsubscribe or request.
    for (const auto& handler : handlers)
        if (*handler) (*handler)(message);
    return MODULE_STATUS_SUCCESS;
}

} // namespace Taliro
