// The small platform pieces: handle holders, COM pointers and BSTRs, COM objects and their
// factory, the concurrent queue, command switches and the run-mode value.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "Platform/CallerProcess.h"
#include "Platform/ConcurrentQueue.h"
#include "Platform/ServiceModule.h"
#include "Platform/WinHttpHandle.h"
#include "TestUtil.h"

namespace {

int g_alive = 0;

class Thing : public Platform::ComObjectRoot, public IPersist {
public:
    Thing() { ++g_alive; }
    ~Thing() { --g_alive; }
    HRESULT InternalQueryInterface(REFIID riid, void** ppv) { return Platform::QueryInterfaceFor<IPersist>(this, riid, ppv); }
    STDMETHODIMP GetClassID(CLSID* id) override
    {
        *id = CLSID_NULL;
        return S_OK;
    }
};

TEST(PlatformHandles, EachHolderClosesItsHandleOnce)
{
    DWORD flags = 0;
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        Platform::EventHandle event(raw);
        Platform::EventHandle moved(std::move(event));
        EXPECT_FALSE(event);
        EXPECT_EQ(raw, moved.Get());
    }
    EXPECT_FALSE(GetHandleInformation(raw, &flags));
    Platform::SemaphoreHandle semaphore(CreateSemaphoreW(nullptr, 0, 2000, nullptr));
    HANDLE kept = semaphore.Release();
    EXPECT_TRUE(GetHandleInformation(kept, &flags) && CloseHandle(kept));
    EXPECT_FALSE(Platform::ThreadHandle(INVALID_HANDLE_VALUE));

    Platform::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager);
    EXPECT_TRUE(CloseServiceHandle(manager.Release()));
    Platform::WinHttpHandle session(WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    HINTERNET held = session.Get();
    ASSERT_TRUE(held);
    session.Reset();
    EXPECT_FALSE(WinHttpCloseHandle(held));
}

TEST(PlatformComPtr, PointersAndStringsHaveOneOwnerEach)
{
    const std::wstring text(L"a\0b\u0101\u65e5", 5);
    Platform::Bstr one(text);
    Platform::Bstr copy(one);
    EXPECT_NE(one.Get(), copy.Get());
    EXPECT_EQ(5u, copy.Length());
    EXPECT_EQ(text, copy.ToString());
    Platform::Bstr moved(std::move(copy));
    EXPECT_TRUE(!copy);
    BSTR raw = moved.Detach();
    one.Attach(raw);
    EXPECT_EQ(raw, one.Get());
    EXPECT_FALSE(!Platform::Bstr(L""));

    Platform::ComPtr<IPersist> object;
    ASSERT_EQ(S_OK, Platform::ObjectCreator<Thing>::CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)));
    Platform::ComPtr<IPersist> second = object;
    Platform::ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, second.As(unknown));
    Platform::ComPtr<IClassFactory> wrong;
    EXPECT_EQ(E_NOINTERFACE, object.As(wrong));
    IPersist* out = nullptr;
    EXPECT_EQ(S_OK, object.CopyTo(&out));
    EXPECT_EQ(5u, out->AddRef());   // object, second, unknown, out, this one
    out->Release();
    out->Release();
    object.Reset();
    unknown.Reset();
    EXPECT_EQ(1, g_alive);
    IPersist** slot = &second;   // the slot for a new pointer: the old one is let go
    EXPECT_EQ(nullptr, *slot);
    EXPECT_EQ(0, g_alive);
}

TEST(PlatformComObject, ObjectsLockTheServerTheFactoryDoesNot)
{
    Platform::ServiceModule module(0, GUID_NULL, 0);
    Platform::ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, Platform::FactoryCreator<Platform::ClassFactory>::CreateInstance(
                        &Platform::ObjectCreator<Thing>::CreateInstance, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    EXPECT_EQ(0, module.GetLockCount());

    Platform::ComPtr<IPersist> a;
    Platform::ComPtr<IPersist> b;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&a)));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&b)));
    EXPECT_EQ(2, g_alive);
    EXPECT_EQ(2, module.GetLockCount());
    a.Reset();
    EXPECT_EQ(1, module.GetLockCount());
    b.Reset();
    EXPECT_EQ(0, g_alive);
    EXPECT_EQ(0, module.GetLockCount());

    // Refused creations leave neither an object nor a lock behind.
    void* p = &p;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory.Get(), IID_IUnknown, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &p));
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    EXPECT_EQ(0, g_alive);
    EXPECT_EQ(0, module.GetLockCount());

    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(1, module.GetLockCount());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(0, module.GetLockCount());
}

TEST(PlatformConcurrentQueue, ProducersLoseNothingAndKeepTheirOrder)
{
    Concurrency::concurrent_queue<std::shared_ptr<int>> queue;
    const int kEach = 2000;
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p)
        producers.emplace_back([&queue, p] { for (int i = 0; i < kEach; ++i) queue.push(std::make_shared<int>(p * kEach + i)); });
    std::vector<int> last(4, -1);
    bool inOrder = true;
    for (int taken = 0; taken < 4 * kEach;) {
        std::shared_ptr<int> item;
        if (!queue.try_pop(item)) continue;
        inOrder = inOrder && *item > last[*item / kEach];
        last[*item / kEach] = *item;
        ++taken;
    }
    for (auto& t : producers) t.join();
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(queue.empty());

    auto item = std::make_shared<int>(7);
    std::weak_ptr<int> watch = item;
    queue.push(std::move(item));
    EXPECT_EQ(1u, queue.unsafe_size());
    queue.clear();
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(queue.try_pop(item));
}

TEST(PlatformCallerProcess, NoCallerOutsideAnIncomingCall)
{
    DWORD caller = 1;
    EXPECT_EQ(Platform::Caller::InProcess, Platform::CallingProcess(caller));
    EXPECT_EQ(0u, caller);
    std::wstring path;
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    ASSERT_TRUE(Platform::ProcessImagePath(GetCurrentProcessId(), path));
    EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(path.c_str(), -1, own, -1, TRUE)) << path;
    EXPECT_FALSE(Platform::ProcessImagePath(0, path));
}

TEST(PlatformServiceModule, CommandSwitchesAndTheRunModeValue)
{
    using S = Platform::CommandSwitch;
    const struct { const wchar_t* line; S expected; } kCases[] = {
        {L"app.exe", S::None},
        {L"app.exe -RegServer", S::RegServer},
        {L"app.exe /regserver", S::RegServer},
        {L"app.exe -REGSERVERPERUSER", S::RegServerPerUser},
        {L"app.exe /UnregServer", S::UnregServer},
        {L"app.exe -unregserverperuser", S::UnregServerPerUser},
        {L"app.exe /Service", S::Service},
        {L"app.exe -RegServerX -Embedding /service -RegServer", S::Service},
        {L"\"C:\\a-b\\/Service\\app.exe\" RegServer", S::None},
    };
    for (const auto& c : kCases) EXPECT_EQ(c.expected, Platform::ParseCommandSwitch(c.line)) << c.line;

    TestUtil::ScratchRegKey key;
    EXPECT_FALSE(Platform::HasLocalServiceString(key.Handle()));
    const std::wstring longName(400, L'x');
    const struct { DWORD type; bool service; } kTypes[] = {
        {REG_SZ, true}, {REG_EXPAND_SZ, true}, {REG_DWORD, false}, {REG_BINARY, false}, {REG_MULTI_SZ, false}};
    for (const auto& t : kTypes) {
        key.WriteRaw(L"LocalService", t.type, longName.c_str(), static_cast<DWORD>((longName.size() + 1) * 2));
        EXPECT_EQ(t.service, Platform::HasLocalServiceString(key.Handle())) << t.type;
    }
}

} // namespace
