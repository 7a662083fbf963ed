// The bus client over a recording shim, and over the bus library double loaded as the product
// loads it.
#include "MessageBusClient.h"
#include "ModuleStatus.h"
#include "dll/SharedLibrary.h"
#include "message/ReplyImpl.h"

#include "PluginTestSupport.h"
#include "QuorraControl.h"
#include "TestPki.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace Taliro;
using PluginTest::CountLines;
using PluginTest::ProcessLog;

namespace {

class RecordingShim : public MessageBusShim {
public:
    unsigned long publish(const std::shared_ptr<Message>& message) override
    {
        published.push_back(message->getHeader());
        unsigned long result = publishResults.empty() ? 0 : publishResults.front();
        if (!publishResults.empty()) publishResults.erase(publishResults.begin());
        return result;
    }
    unsigned long request(const std::shared_ptr<Message>&, unsigned long long index, void* context,
                          unsigned long long) override
    {
        indexes.push_back(index);
        replyContext = context;
        if (onRequest) onRequest(index);
        return requestResult;
    }
    unsigned long unregisterReplyCallback() override { return onWithdraw ? onWithdraw() : void(), ++withdraws, 0; }
    unsigned long subscribe(const std::wstring&, void* context) override
    {
        if (onSubscribe) onSubscribe();
        contexts.push_back(context);
        return refuse ? 0 : nextId++;
    }
    unsigned long subscribeFilter(const std::wstring& pattern, void* context) override
    {
        return subscribe(pattern, context);
    }
    unsigned long unsubscribe(unsigned long id) override
    {
        return unsubscribers.push_back(std::this_thread::get_id()), unsubscribed.push_back(id), unsubscribeResult;
    }

    std::vector<MessageHeader> published;
    std::vector<unsigned long> publishResults;
    std::vector<unsigned long long> indexes;
    void* replyContext = nullptr;
    unsigned long requestResult = 0;
    int withdraws = 0;
    std::vector<void*> contexts;
    unsigned long nextId = 1;
    bool refuse = false;
    std::function<void()> onSubscribe;
    std::function<void(unsigned long long)> onRequest;
    std::vector<unsigned long> unsubscribed;
    std::vector<std::thread::id> unsubscribers;
    std::function<void()> onWithdraw;
    unsigned long unsubscribeResult = 0;
};

class SessionProcess : public ProcessAPI {
public:
    explicit SessionProcess(DWORD session) : m_session(session) {}
    BOOL processIdToSessionId(DWORD, DWORD* session) override { return *session = m_session, TRUE; }

private:
    DWORD m_session;
};

std::shared_ptr<Message> Named(const std::wstring& name, unsigned long flags = 0, unsigned short version = 2,
                               unsigned long session = 0)
{
    auto message = std::make_shared<Message>(name, L"two", L"three");
    message->getHeader().flags = flags;
    message->getHeader().version = version;
    message->getHeader().sessionId = session;
    message->getHeader().replyCorrelation = 77;
    return message;
}

} // namespace

TEST(MessageBusClient, PublishSendsCopiesAndAnswersTheFailureOfEitherSend)
{
    auto shim = std::make_shared<RecordingShim>();
    MessageBusClient client(shim, nullptr);
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, client.publish(nullptr));
    EXPECT_TRUE(shim->published.empty());

    auto message = Named(L"Event", 1);
    EXPECT_EQ(0u, client.publish(message));
    ASSERT_EQ(2u, shim->published.size());
    EXPECT_EQ(0x11u, shim->published[0].flags);
    EXPECT_EQ(77u, shim->published[0].replyCorrelation);
    EXPECT_EQ(0x10u, shim->published[1].flags);
    EXPECT_EQ(0u, shim->published[1].replyCorrelation);
    EXPECT_EQ(1u, message->getHeader().flags);
    EXPECT_EQ(77u, message->getHeader().replyCorrelation);

    EXPECT_EQ(0u, client.publish(Named(L"Event", 1 | 8)));
    EXPECT_EQ(3u, shim->published.size());

    shim->publishResults = {0, MODULE_STATUS_UNSUCCESSFUL};
    EXPECT_EQ(MODULE_STATUS_PARTIAL_SUCCESS, client.publish(Named(L"Event", 1)));
    shim->publishResults = {MODULE_STATUS_NOT_FOUND};
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, client.publish(Named(L"Event", 1)));
    EXPECT_EQ(6u, shim->published.size());
    const std::wstring log = ProcessLog();
    EXPECT_EQ(1u, CountLines(log, L"Failed to publish non-reply copy of the message. Error code 2147483650."));
    EXPECT_EQ(1u, CountLines(log, L"Failed to publish message. Error code 2147483658."));
}

TEST(MessageBusClient, EveryRequestIsResolvedAndHandlersMayCallBack)
{
    auto shim = std::make_shared<RecordingShim>();
    auto client = std::make_unique<MessageBusClient>(shim, nullptr);
    std::shared_ptr<Reply> timedOut, failed, arrived, unanswered;
    ASSERT_EQ(0u, client->request(Named(L"Q"), timedOut, 1));
    ASSERT_EQ(0u, client->request(Named(L"Q"), failed, 1));
    ASSERT_EQ(0u, client->request(Named(L"Q"), arrived, 1));
    ASSERT_EQ(0u, client->request(Named(L"Q"), unanswered, 1));
    EXPECT_EQ((std::vector<unsigned long long>{0, 1, 2, 3}), shim->indexes);

    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, client->replyCallback(99, nullptr, 0));
    EXPECT_EQ(0u, client->replyCallback(0, nullptr, MODULE_STATUS_TIMEOUT));
    EXPECT_EQ(0u, client->replyCallback(1, nullptr, MODULE_STATUS_UNSUCCESSFUL));
    auto answer = Named(L"Answer");
    // Through the plain callback the bus calls, with the context the client handed it.
    EXPECT_EQ(0u, MessageBusShimImpl::replyCallback(shim->replyContext, 2, &answer->getHeader(), L"Answer", L"", L"", 0));
    EXPECT_EQ(kReplyTimedOut, timedOut->updateStatus());
    EXPECT_EQ(kReplyFailed, failed->updateStatus());
    EXPECT_EQ(kReplyArrived, arrived->updateStatus());
    EXPECT_EQ(L"Answer", arrived->getMessage()->getName());
    EXPECT_EQ(nullptr, failed->getMessage());
    EXPECT_EQ(kReplyPending, unanswered->waitFor(std::chrono::milliseconds(20)));

    // A reply that cannot become a message still completes, as failed.
    std::shared_ptr<Reply> malformed;
    ASSERT_EQ(0u, client->request(Named(L"Q"), malformed, 1));
    EXPECT_EQ(0u, MessageBusShimImpl::replyCallback(shim->replyContext, 4, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(kReplyFailed, malformed->waitFor(std::chrono::milliseconds(1000)));

    // A reply handler that requests again: no lock of the client is held while it runs.
    int handled = 0;
    ASSERT_EQ(0u, client->request(Named(L"Q"), [&](std::shared_ptr<Reply> reply) {
        EXPECT_EQ(kReplyArrived, reply->getStatus());
        std::shared_ptr<Reply> again;
        EXPECT_EQ(0u, client->request(Named(L"Again"), again, 1));
        ++handled;
    }, 1));
    EXPECT_EQ(0u, client->replyCallback(5, answer, 0));
    EXPECT_EQ(1, handled);
    EXPECT_EQ(7u, shim->indexes.size());

    shim->requestResult = MODULE_STATUS_UNSUCCESSFUL;
    std::shared_ptr<Reply> refused;
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, client->request(Named(L"Q"), refused, 1));
    EXPECT_EQ(nullptr, refused);
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, client->replyCallback(7, answer, 0));
    // Failed by the bus before its failing request call returns: the request ends once, by its handler.
    shim->onRequest = [&](unsigned long long index) { client->replyCallback(index, nullptr, 1); };
    EXPECT_EQ(0u, client->request(Named(L"Q"), [&](std::shared_ptr<Reply>) { ++handled; }, 1));
    EXPECT_EQ(2, handled);

    // The client goes with replies outstanding: they fail, and its context finds nothing more.
    void* context = shim->replyContext;
    client.reset();
    EXPECT_EQ(1, shim->withdraws);
    EXPECT_EQ(kReplyFailed, unanswered->waitFor(std::chrono::milliseconds(1000)));
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, MessageBusShimImpl::replyCallback(context, 6, nullptr, L"x", L"", L"", 0));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, MessageBusShimImpl::replyCallback(nullptr, 6, nullptr, L"x", L"", L"", 0));

    ReplyImpl invalid{std::shared_future<std::shared_ptr<Message>>()};
    EXPECT_EQ(kReplyFailed, invalid.updateStatus());
    const std::wstring log = ProcessLog();
    for (const wchar_t* line : {L"Reply index not found. Returning", L"Reply waitFor timed out. Returning.",
                                L"Failed to make request. Error code 2147483650.",
                                L"Reply future is in an invalid state. Returning.", L"Found session id "})
        EXPECT_GT(CountLines(log, line), 0u) << TestUtil::Narrow(line);
}

TEST(MessageBusClient, EveryHandlerIsCalledOnceWhenTheClientGoes)
{
    auto shim = std::make_shared<RecordingShim>();
    auto client = std::make_unique<MessageBusClient>(shim, nullptr);
    std::vector<unsigned long> first, second;
    MessageBusClient* going = client.get();
    unsigned long askedAgain = 0;
    ASSERT_EQ(0u, client->request(Named(L"Q"), [&](std::shared_ptr<Reply> reply) {
        first.push_back(reply->getStatus());
    }, 1));
    ASSERT_EQ(0u, client->request(Named(L"Q"), [&](std::shared_ptr<Reply> reply) {
        second.push_back(reply->getStatus());
        EXPECT_EQ(nullptr, reply->getMessage());
        // Asked again while the client goes: refused, as nothing would ever end it.
        askedAgain = going->request(Named(L"Q"), [](std::shared_ptr<Reply>) {}, 1);
        EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, going->subscribe(L"Late", [](std::shared_ptr<Message>) { return 0ul; }));
    }, 1));
    std::shared_ptr<Reply> future;
    ASSERT_EQ(0u, client->request(Named(L"Q"), future, 1));
    EXPECT_EQ(0u, client->replyCallback(0, Named(L"Answer"), 0));
    // Replies fail before the end's first bus call: a handler blocked on one may hold up the bus.
    shim->onWithdraw = [&] { EXPECT_EQ(kReplyFailed, future->waitFor(std::chrono::milliseconds(0))); };
    client.reset();
    shim->onWithdraw = nullptr;
    EXPECT_EQ(std::vector<unsigned long>{kReplyArrived}, first);
    EXPECT_EQ(std::vector<unsigned long>{kReplyFailed}, second);
    EXPECT_EQ(static_cast<unsigned long>(MODULE_STATUS_UNSUCCESSFUL), askedAgain);
    EXPECT_EQ(kReplyFailed, future->waitFor(std::chrono::milliseconds(1000)));
    EXPECT_TRUE(shim->contexts.empty());

    // The reply and the client's end race: whichever comes first ends the request, never both.
    auto answer = Named(L"Answer");
    for (int round = 0; round < 200; ++round) {
        client = std::make_unique<MessageBusClient>(shim, nullptr);
        std::atomic<int> calls{0};
        std::atomic<unsigned long> status{kReplyPending};
        ASSERT_EQ(0u, client->request(Named(L"Q"), [&](std::shared_ptr<Reply> reply) {
            status = reply->getStatus();
            ++calls;
        }, 1));
        void* context = shim->replyContext;
        const unsigned long long index = shim->indexes.back();
        std::atomic<bool> go{false};
        unsigned long delivered = kReplyPending;
        std::thread bus([&] {
            while (!go) std::this_thread::yield();
            delivered = MessageBusShimImpl::replyCallback(context, index, &answer->getHeader(), L"Answer", L"", L"", 0);
        });
        go = true;
        if (round % 2) std::this_thread::yield();
        client.reset();
        bus.join();
        ASSERT_EQ(1, calls.load()) << "round " << round;
        ASSERT_EQ(delivered == 0 ? kReplyArrived : kReplyFailed, status.load()) << "round " << round;
        ASSERT_TRUE(delivered == 0 || delivered == MODULE_STATUS_NOT_FOUND) << delivered;
    }

    // Calls held inside the bus until the client's end has returned: each ends once, what one subscribed is removed.
    shim->requestResult = MODULE_STATUS_UNSUCCESSFUL;
    for (int round = 0; round < 100; ++round) {
        const bool subscribing = round % 2 == 0;
        client = std::make_unique<MessageBusClient>(shim, nullptr);
        std::promise<void> entered, released;
        std::shared_future<void> go = released.get_future().share();
        shim->onSubscribe = [&] { entered.set_value(), go.wait_for(std::chrono::seconds(5)); };
        shim->onRequest = [&](unsigned long long) { entered.set_value(), go.wait_for(std::chrono::seconds(5)); };
        shim->unsubscribers.clear();
        int handled = 0;
        unsigned long status = kReplyPending;
        std::thread caller([&] {
            status = subscribing ? client->subscribe(L"Held", [](std::shared_ptr<Message>) { return 0ul; })
                                 : client->request(Named(L"Q"), [&](std::shared_ptr<Reply>) { ++handled; }, 1);
        });
        entered.get_future().wait();
        client.reset();
        released.set_value();
        caller.join();
        ASSERT_EQ(0u, status) << "round " << round;
        ASSERT_EQ(subscribing ? 0 : 1, handled);
        ASSERT_EQ(subscribing ? 1u : 0u, shim->unsubscribers.size());
    }
}

TEST(MessageBusClient, SubscriptionsDispatchFilterAndUnsubscribe)
{
    auto shim = std::make_shared<RecordingShim>();
    auto client = std::make_unique<MessageBusClient>(shim, std::make_shared<SessionProcess>(5));
    std::vector<std::wstring> calls;
    auto record = [&](const wchar_t* tag) {
        return [&calls, tag](std::shared_ptr<Message>) { return calls.push_back(tag), 0ul; };
    };
    ASSERT_EQ(0u, client->subscribe(L"Status", L"A", record(L"exact")));
    ASSERT_EQ(0u, client->subscribeFilter(L"Stat.*", L"A", record(L"pattern")));
    ASSERT_EQ(0u, client->subscribe(L"status", record(L"lower")));
    ASSERT_EQ(0u, client->subscribeFilter(L"Stat", record(L"partial")));
    EXPECT_THROW(client->subscribeFilter(L"(", record(L"bad")), std::regex_error);
    shim->refuse = true;
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, client->subscribe(L"Status", L"R", record(L"refused")));
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, client->subscribeFilter(L"S.*", L"R", record(L"refused")));
    shim->refuse = false;

    EXPECT_EQ(0u, client->processDirectMessage(Named(L"Status")));
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ((std::vector<std::wstring>{L"exact", L"pattern"}), calls);

    // A name far longer than any stack could take with a recursive matcher.
    calls.clear();
    EXPECT_EQ(0u, client->processDirectMessage(Named(L"Stat" + std::wstring(300000, L'x'))));
    EXPECT_EQ(std::vector<std::wstring>{L"pattern"}, calls);

    // Session 5: messages of session 7 are dropped; 0, 5 and version-1 headers pass.
    calls.clear();
    ASSERT_EQ(0u, client->subscribeSessionFiltered(L"S", record(L"filtered")));
    ASSERT_EQ(0u, client->subscribeFilterSessionFiltered(L"S", L"F2", record(L"filtered")));
    for (auto message : {Named(L"S", 0, 2, 7), Named(L"S", 0, 2, 0), Named(L"S", 0, 2, 5), Named(L"S", 0, 1, 7)})
        client->processDirectMessage(message);
    EXPECT_EQ(6u, calls.size());

    // A handler that subscribes and unsubscribes while being dispatched.
    calls.clear();
    ASSERT_EQ(0u, client->subscribe(L"Reenter", [&](std::shared_ptr<Message>) {
        EXPECT_EQ(0u, client->subscribe(L"Late", L"Late", record(L"late")));
        EXPECT_EQ(0u, client->unsubscribe(L"Late"));
        return 0ul;
    }));
    EXPECT_EQ(0u, client->processDirectMessage(Named(L"Reenter")));

    EXPECT_EQ(0u, client->unsubscribe(L"Nobody"));
    shim->unsubscribeResult = MODULE_STATUS_NOT_FOUND;
    shim->unsubscribed.clear();
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND, client->unsubscribe(L"A"));
    EXPECT_EQ((std::vector<unsigned long>{1, 2}), shim->unsubscribed);
    calls.clear();
    client->processDirectMessage(Named(L"Status"));
    EXPECT_TRUE(calls.empty());

    // Contexts the bus may still hold find nothing once unsubscribed; session 0 filters nothing.
    EXPECT_EQ(MODULE_STATUS_NOT_FOUND,
              MessageBusShimImpl::messageCallback(shim->contexts[0], nullptr, L"Status", nullptr, nullptr));
    shim->unsubscribed.clear();
    client.reset();
    EXPECT_EQ(5u, shim->unsubscribed.size());
    MessageBusClient noSession(shim, std::make_shared<SessionProcess>(0));
    ASSERT_EQ(0u, noSession.subscribeSessionFiltered(L"S", record(L"any")));
    calls.clear();
    noSession.processDirectMessage(Named(L"S", 0, 2, 7));
    EXPECT_EQ(1u, calls.size());
    EXPECT_EQ(0u, MessageBusShimImpl::messageCallback(shim->contexts.back(), nullptr, L"S", nullptr, nullptr));
    EXPECT_EQ(2u, calls.size());

    // Whatever a handler throws stays on this side of the bus callback.
    ASSERT_EQ(0u, noSession.subscribe(L"Throws", [](std::shared_ptr<Message>) -> unsigned long {
        throw std::runtime_error("handler failed");
    }));
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION,
              MessageBusShimImpl::messageCallback(shim->contexts.back(), nullptr, L"Throws", nullptr, nullptr));

    const std::wstring log = ProcessLog();
    EXPECT_EQ(1u, CountLines(log, L"Failed to subscribe. Alias: R Message name: Status"));
    EXPECT_EQ(1u, CountLines(log, L"Failed to subscribeFilter. Alias: R Message nameRegex: S.*"));
    EXPECT_EQ(1u, CountLines(log, L"Subscription not found. Alias: Nobody."));
}

TEST(MessageBusClient, OverTheLoadedBusLibrary)
{
    PluginTest::MachineState machine;
    auto library = std::make_shared<SharedLibrary>(
        LibraryDescription{L"Quorra.dll", {TestPki::SignedFolder() + L"\\quorra_signed"}});
    auto state = reinterpret_cast<QuorraControlFn>(reinterpret_cast<void*>(GetProcAddress(library->module(), "QuorraControl")))();
    auto waitIdle = reinterpret_cast<QuorraWaitIdleFn>(reinterpret_cast<void*>(GetProcAddress(library->module(), "QuorraWaitIdle")));
    const size_t contextsBefore = internal::CallbackContexts::count();

    auto client = std::make_shared<MessageBusClient>(std::make_shared<MessageBusLib>(library), nullptr);
    std::atomic<int> pings{0};
    ASSERT_EQ(0u, client->subscribe(L"Ping", [&](std::shared_ptr<Message> message) {
        // On the bus's thread, subscribing from inside the handler.
        EXPECT_EQ(L"two", message->getSecond());
        client->subscribeFilter(L"Po.*", [](std::shared_ptr<Message>) { return 0ul; });
        return static_cast<unsigned long>(++pings);
    }));
    ASSERT_EQ(0u, client->publish(Named(L"Ping")));
    ASSERT_TRUE(waitIdle(5000));
    EXPECT_EQ(1, pings.load());
    EXPECT_EQ(1, state->subscribeFilter);
    EXPECT_EQ(1, state->lastDeliveryResult);

    const struct {
        long mode;
        unsigned long status;
    } modes[] = {{kQuorraReplyArrives, kReplyArrived}, {kQuorraReplyTimesOut, kReplyTimedOut},
                 {kQuorraReplyFails, kReplyFailed}, {kQuorraReplyMalformed, kReplyFailed},
                 {kQuorraReplyNever, kReplyPending}};
    for (const auto& mode : modes) {
        state->replyMode = mode.mode;
        std::shared_ptr<Reply> reply;
        ASSERT_EQ(0u, client->request(Named(L"Question"), reply, 3));
        EXPECT_EQ(mode.status, reply->waitFor(std::chrono::milliseconds(mode.mode == kQuorraReplyNever ? 50 : 5000)))
            << mode.mode;
    }
    state->replyMode = kQuorraReplyArrives;

    // Two clients on one handle of the same bus: the first one's going leaves the second its replies.
    auto functions = static_cast<const MessageBusFunctions*>(library->importedFunctions().createObject(1006000));
    void* handle = nullptr;
    ASSERT_EQ(0u, functions->getHandle(&handle));
    auto first = std::make_unique<MessageBusClient>(std::make_shared<MessageBusShimImpl>(handle, functions), nullptr);
    auto second = std::make_unique<MessageBusClient>(std::make_shared<MessageBusShimImpl>(handle, functions), nullptr);
    const long withdrawsBefore = state->withdraw;
    first.reset();
    EXPECT_EQ(withdrawsBefore, state->withdraw);
    std::shared_ptr<Reply> reply;
    ASSERT_EQ(0u, second->request(Named(L"Question"), reply, 3));
    EXPECT_EQ(kReplyArrived, reply->waitFor(std::chrono::milliseconds(5000)));
    EXPECT_EQ(L"Reply.Question", reply->getMessage()->getName());
    second.reset();
    EXPECT_EQ(withdrawsBefore + 1, state->withdraw);
    EXPECT_EQ(0u, functions->releaseHandle(handle));

    // Unsubscribed handlers are not called again; the client's going takes its handle along.
    EXPECT_EQ(0u, client->unsubscribe(L"Ping"));
    const long delivered = state->delivered;
    ASSERT_EQ(0u, client->publish(Named(L"Ping")));
    ASSERT_TRUE(waitIdle(5000));
    EXPECT_EQ(delivered, state->delivered);
    client.reset();
    EXPECT_EQ(0, state->liveHandles);
    EXPECT_EQ(0, state->liveSubscriptions);
    EXPECT_EQ(contextsBefore, internal::CallbackContexts::count());

    // A failure after the handle was obtained gives it back.
    PluginTest::FailNextAllocationOf(sizeof(MessageBusShimImpl));
    EXPECT_THROW(MessageBusLib{library}, std::bad_alloc);
    PluginTest::FailNextAllocationOf(0);
    EXPECT_EQ(0, state->liveHandles);
    state->getHandleStatus = static_cast<long>(MODULE_STATUS_UNSUCCESSFUL);
    EXPECT_THROW(MessageBusLib{library}, ModuleException);
    state->getHandleStatus = 0;
    state->nullTable = 1;
    EXPECT_THROW(MessageBusLib{library}, ModuleException);
    state->nullTable = 0;
    state->holeyTable = 1;
    EXPECT_THROW(MessageBusLib{library}, ModuleException);
    state->holeyTable = 0;
    EXPECT_EQ(0, state->liveHandles);
    const std::wstring log = ProcessLog();
    EXPECT_EQ(1u, CountLines(log, L"Failed to get message bus handle. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650). "
                                  L"Throwing ModuleException."));
    EXPECT_EQ(2u, CountLines(log, L"Failed to get message bus functions object. Throwing ModuleException."));

    // The last share of a client that loaded the library, dropped on the library's thread: it stays loaded.
    client = std::make_shared<MessageBusClient>(std::make_shared<MessageBusLib>(std::move(library)), nullptr);
    ASSERT_EQ(0u, client->subscribe(L"End", [&](std::shared_ptr<Message>) { return client.reset(), 0ul; }));
    ASSERT_EQ(0u, client->publish(Named(L"End")));
    ASSERT_TRUE(waitIdle(5000));
    EXPECT_NE(nullptr, GetModuleHandleW(L"Quorra.dll"));
}
