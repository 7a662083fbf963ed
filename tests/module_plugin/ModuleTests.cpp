// The module object, its container, the entry points in this process, status names and the timer.
#include "BaseModule.h"
#include "MessageBusClient.h"
#include "ModuleFunctions.h"
#include "ModuleStatus.h"
#include "performance/PerfTimer.h"

#include "PluginTestSupport.h"

#include <gtest/gtest.h>

using namespace Taliro;
using PluginTest::CountLines;

namespace {

class NullShim : public MessageBusShim {
public:
    unsigned long publish(const std::shared_ptr<Message>&) override { return 7; }
    unsigned long request(const std::shared_ptr<Message>&, unsigned long long, void*, unsigned long long) override
    {
        return 0;
    }
    unsigned long unregisterReplyCallback() override { return 0; }
    unsigned long subscribe(const std::wstring&, void*) override { return 1; }
    unsigned long subscribeFilter(const std::wstring&, void*) override { return 1; }
    unsigned long unsubscribe(unsigned long) override { return 0; }
};

// A bus that is not the client class.
class OtherBus : public BaseModule {};

// An in-process bus table for the host-bus road.
unsigned long BusOk(void**) { return 0; }
unsigned long BusRelease(void*) { return 0; }
unsigned long BusPublish(void*, const MessageHeader*, const wchar_t*, const wchar_t*, const wchar_t*) { return 0; }
unsigned long BusRequest(void*, unsigned long long index, void* context, ReplyCallback reply, const MessageHeader* header,
                         const wchar_t* name, const wchar_t*, const wchar_t*, unsigned long long)
{
    return reply(context, index, header, name, L"", L"", 0); // answered before the call returns
}
unsigned long BusPending(void*, unsigned long long, void*, ReplyCallback, const MessageHeader*, const wchar_t*,
                         const wchar_t*, const wchar_t*, unsigned long long)
{
    return 0; // never answered
}
// Subscribe waits (5 s at most) for the dispatch lock that a delivery holds.
std::recursive_timed_mutex g_dispatch;
std::atomic<int> g_waiting{0};
int g_live = 0;
unsigned long BusSubscribe(void*, void*, MessageCallback, const wchar_t*)
{
    ++g_waiting;
    std::unique_lock<std::recursive_timed_mutex> lock(g_dispatch, std::chrono::seconds(5));
    return lock ? ++g_live : 0;
}
unsigned long BusUnsubscribe(void*, unsigned long) { return --g_live, 0; }
int g_withdrawn = 0;
unsigned long BusWithdraw(void*, ReplyCallback) { return ++g_withdrawn, 0; }
const MessageBusFunctions kBus = {BusOk, BusRelease, BusPublish, BusRequest, BusSubscribe, BusSubscribe,
                                  BusUnsubscribe, BusWithdraw};

} // namespace

TEST(BaseModule, KeepsWhatInitialisationGivesAndRegistersTheBus)
{
    auto container = std::make_shared<Lumetra::IOCContainer>();
    PulseproxyImpl module(container);
    EXPECT_EQ(0u, module.initialize() | module.start() | module.stop() | module.uninitialize());
    // Before a bus is held, the bus slots answer that the module is not ready.
    std::shared_ptr<Reply> reply;
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE, module.publish(nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE, module.request(nullptr, reply, 0));
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE, module.subscribe(L"a", nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE, module.unsubscribe(L"a"));

    PropertyMap properties{{L"k", L"v"}};
    auto manager = std::make_shared<internal::ModuleManagerShim>(nullptr, nullptr);
    auto firstBus = std::make_shared<MessageBusClient>(std::make_shared<NullShim>(), nullptr);
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, module.baseInitialize(L"mod", L"sec", properties, nullptr, firstBus));
    EXPECT_EQ(L"mod", module.moduleName());
    EXPECT_EQ(L"v", module.properties().at(L"k"));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, module.baseInitialize(L"mod", L"sec", properties, manager, nullptr));
    EXPECT_FALSE(container->isRegistered<MessageBus>());
    EXPECT_EQ(0u, module.baseInitialize(L"mod", L"sec", properties, manager, firstBus));
    auto secondBus = std::make_shared<MessageBusClient>(std::make_shared<NullShim>(), nullptr);
    EXPECT_EQ(0u, module.baseInitialize(L"mod2", L"sec2", properties, manager, secondBus));
    EXPECT_EQ(secondBus, container->resolve<MessageBus>());
    EXPECT_EQ(secondBus, std::static_pointer_cast<MessageBus>(container->findFactory<MessageBus>()->getInstance()));
    EXPECT_EQ(nullptr, container->findFactory<MessageBus>(L"Other name"));
    EXPECT_EQ(L"Unnamed registration", container->findFactory<MessageBus>()->registrationName());
    EXPECT_EQ(7u, module.publish(std::make_shared<Message>(L"n", L"", L"")));
    EXPECT_EQ(0u, module.subscribe(L"n", L"n", [](std::shared_ptr<Message>) { return 0ul; }));
    EXPECT_EQ(0u, module.directMessage(std::make_shared<Message>(L"n", L"", L"")));

    static unsigned long long seen[4];
    internal::ModuleManagerShim callingShim(seen, [](unsigned long long a, unsigned long long b, unsigned long long c,
                                                     unsigned long long d) -> unsigned long long {
        seen[0] = a, seen[1] = b, seen[2] = c, seen[3] = d;
        return 42;
    });
    EXPECT_EQ(42u, callingShim.call(7, 9));
    EXPECT_EQ(reinterpret_cast<unsigned long long>(seen), seen[0]);
    EXPECT_EQ(7u, seen[1]);
    EXPECT_EQ(0u, seen[2]);
    EXPECT_EQ(9u, seen[3]);

    EXPECT_EQ(0u, module.baseInitialize(L"mod", L"sec", properties, manager, std::make_shared<OtherBus>()));
    EXPECT_EQ(MODULE_STATUS_INVALID_STATE, module.directMessage(std::make_shared<Message>(L"n", L"", L"")));
    const std::wstring log = PluginTest::ProcessLog();
    EXPECT_EQ(1u, CountLines(log, L"Invalid module manager object passed to base initialize."));
    EXPECT_EQ(1u, CountLines(log, L"Invalid message bus object passed to base initialize."));
    EXPECT_EQ(1u, CountLines(log, L"Failed to process direct message. Invalid message bus client."));
}

TEST(ModuleFunctions, EntryPointsInThisProcess)
{
    const ModuleFunctionTable& table = *static_cast<const ModuleFunctionTable*>(CreateObject(0));
    ModuleHandle* handle = nullptr;
    ASSERT_EQ(0u, table.NewModule(&handle, nullptr));
    const wchar_t* keys[] = {L"a", L"a", L"b"};
    const wchar_t* values[] = {L"1", L"2", L"3"};
    ASSERT_EQ(0u, table.InitializeModuleV2(handle, L"m", L"s", 3, keys, values, nullptr, nullptr, &handle, &kBus));
    auto* module = dynamic_cast<BaseModule*>(handle->module);
    ASSERT_NE(nullptr, module);
    EXPECT_EQ((PropertyMap{{L"a", L"1"}, {L"b", L"3"}}), module->properties());
    ASSERT_EQ(0u, table.InitializeModuleV2(handle, L"m", L"s", 0, nullptr, nullptr, nullptr, nullptr, &handle, &kBus));
    EXPECT_TRUE(module->properties().empty());
    // A table with a null entry is refused as a null table is, before anything calls through it.
    MessageBusFunctions holey = kBus;
    holey.withdrawReplyCallback = nullptr;
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION,
              table.InitializeModuleV2(handle, L"m", L"s", 0, nullptr, nullptr, nullptr, nullptr, &handle, &holey));
    EXPECT_EQ(0, g_withdrawn);
    EXPECT_EQ(0u, table.DestroyModule(handle));
    EXPECT_EQ(1, g_withdrawn);

    // A table without the handle entries this road never calls; a reply's handler destroys the module under the
    // lock another thread's forwarded subscribe waits for: no wait, nothing freed touched, that subscription removed.
    PluginTest::PoisonFreedBlocksOf(sizeof(PulseproxyImpl));
    holey.getHandle = nullptr, holey.releaseHandle = nullptr, holey.withdrawReplyCallback = BusWithdraw;
    ASSERT_EQ(0u, table.NewModule(&handle, nullptr));
    ASSERT_EQ(0u, table.InitializeModuleV2(handle, L"m", L"s", 0, nullptr, nullptr, nullptr, nullptr, &handle, &holey));
    module = dynamic_cast<BaseModule*>(handle->module);
    std::unique_lock<std::recursive_timed_mutex> dispatching(g_dispatch);
    unsigned long late = 1, destroyed = 1;
    std::thread caller([&] { late = module->subscribe(L"Late", [](std::shared_ptr<Message>) { return 0ul; }); });
    for (int waited = 0; !g_waiting && waited < 5000; ++waited) Sleep(1);
    EXPECT_EQ(0u, module->request(std::make_shared<Message>(L"Q", L"", L""),
                                  [&](std::shared_ptr<Reply>) { destroyed = table.DestroyModule(handle); }, 0));
    EXPECT_EQ(2, g_withdrawn) << "ended before the destroy returned, not when the waiting call drops its share";
    dispatching.unlock();
    caller.join();
    EXPECT_EQ(0u, destroyed);
    EXPECT_EQ(0u, late);
    EXPECT_EQ(0, g_live);

    // A replaced client's end fails a pending reply whose handler destroys the module: initialisation stops there.
    holey.request = BusPending;
    ASSERT_EQ(0u, table.NewModule(&handle, nullptr));
    ASSERT_EQ(0u, table.InitializeModuleV2(handle, L"m", L"s", 0, nullptr, nullptr, nullptr, nullptr, &handle, &holey));
    ASSERT_EQ(0u, dynamic_cast<BaseModule*>(handle->module)->request(
                      std::make_shared<Message>(L"Q", L"", L""),
                      [&](std::shared_ptr<Reply>) { destroyed = table.DestroyModule(handle); }, 0));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER,
              table.InitializeModuleV2(handle, L"m", L"s", 0, nullptr, nullptr, nullptr, nullptr, &handle, &holey));
    EXPECT_EQ(0u, destroyed);

    // A handle this module did not give out is refused, never freed.
    ModuleHandle foreign;
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table.DestroyModule(&foreign));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table.StartModule(&foreign));

    // A module is not leaked when its handle cannot be allocated.
    ASSERT_EQ(0u, table.NewModule(&handle, nullptr));
    ASSERT_EQ(0u, table.DestroyModule(handle));
    ModuleHandle* stale = handle; // refused still when the next handle takes its memory
    ASSERT_EQ(0u, table.NewModule(&handle, nullptr));
    EXPECT_EQ(MODULE_STATUS_INVALID_PARAMETER, table.DestroyModule(stale));
    EXPECT_EQ(0u, table.DestroyModule(handle));
    const long long live = PluginTest::LiveAllocations();
    PluginTest::FailNextAllocationOf(sizeof(ModuleHandle));
    handle = nullptr;
    EXPECT_EQ(MODULE_STATUS_UNKNOWN_EXCEPTION, table.NewModule(&handle, nullptr));
    PluginTest::FailNextAllocationOf(0);
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(live, PluginTest::LiveAllocations());
}

TEST(ModuleStatus, NamesExceptionAndTimer)
{
    EXPECT_STREQ(L"MODULE_STATUS_SUCCESS", GetStatusName(0));
    EXPECT_STREQ(L"MODULE_STATUS_NOT_SUPPORTED", GetStatusName(0x80000001));
    EXPECT_STREQ(L"MODULE_STATUS_UNKNOWN_EXCEPTION", GetStatusName(0x8000000F));
    EXPECT_STREQ(L"MODULE_STATUS_APP_SERVICE_UNAUTHORIZED", GetStatusName(0x80000014));
    EXPECT_STREQ(L"MODULE_STATUS_INVALID_STATE", GetStatusName(0x800000FF));
    for (unsigned long unknown : {1ul, 0x80000000ul, 0x80000015ul, 0x800000FEul, 0x80000100ul})
        EXPECT_STREQ(L"MODULE_STATUS_UNKNOWN", GetStatusName(unknown));
    EXPECT_STREQ("text", ModuleException("text").what());

    // Headers: the default one, a version-1 header upgraded, a version-2 header taken whole.
    Message plain(L"ab", L"c", L"");
    EXPECT_EQ(108u + 2 * 3 + 6, plain.getHeader().totalSize);
    MessageHeader old{};
    old.version = 1;
    old.totalSize = 120;
    old.flags = 5;
    old.sessionId = 99; // beyond a version-1 header: not read
    auto upgraded = Message::fromRaw(&old, L"n", nullptr, nullptr);
    EXPECT_EQ(2u, upgraded->getHeader().version);
    EXPECT_EQ(128u, upgraded->getHeader().totalSize);
    EXPECT_EQ(5u, upgraded->getHeader().flags);
    EXPECT_EQ(11u, upgraded->getHeader().sessionTag);
    EXPECT_EQ(8u, upgraded->getHeader().sessionLength);
    EXPECT_EQ(0u, upgraded->getHeader().sessionId);
    old.version = 2;
    EXPECT_EQ(99u, Message::fromRaw(&old, L"n", L"", L"")->getHeader().sessionId);
    EXPECT_THROW(Message::fromRaw(nullptr, nullptr, L"", L""), std::invalid_argument);

    EXPECT_EQ(2500000000LL, internal::PerfTimer::toNanoseconds(25, 10));
    EXPECT_EQ(1000000000LL + 333333333LL, internal::PerfTimer::toNanoseconds(4, 3));
    {
        internal::PerfTimer stoppedTwice(L"TimerStoppedTwice");
        stoppedTwice.stop();
        stoppedTwice.stop();
        EXPECT_TRUE(stoppedTwice.stopped());
        internal::PerfTimer leftRunning(L"TimerLeftRunning");
    }
    const std::wstring log = PluginTest::ProcessLog();
    EXPECT_EQ(1u, CountLines(log, L"M12NPerfTimer|TimerStoppedTwice|"));
    EXPECT_EQ(1u, CountLines(log, L"M12NPerfTimer|TimerLeftRunning|"));
}
