#include "Lumetra/OSInfo.h"

#include "TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Lumetra;
using Proxy = Lumetra::internal::OSInfoProxy<Lumetra::WinOSVersionAPI>;
using ::testing::_;
using ::testing::NiceMock;

namespace {

// A pretend system: answers version tests as VerifyVersionInfoW does for one type at a time,
// reading the condition from its documented place in the mask (3 bits per type bit).
struct FakeSystem {
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD minor9x = 0;
    WORD servicePack = 0;

    BOOL Answer(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG mask) const
    {
        if (!info || info->dwOSVersionInfoSize != 284) return FALSE;
        auto compare = [](DWORD actual, DWORD wanted, DWORDLONG condition) {
            if (condition == VER_EQUAL) return actual == wanted;
            if (condition == VER_LESS) return actual < wanted;
            ADD_FAILURE() << "unexpected condition " << condition;
            return false;
        };
        switch (typeMask) {
        case VER_PLATFORMID: return compare(platform, info->dwPlatformId, (mask >> 9) & 7);
        case VER_MINORVERSION: return compare(minor9x, info->dwMinorVersion, mask & 7);
        case VER_SERVICEPACKMAJOR: return compare(servicePack, info->wServicePackMajor, (mask >> 15) & 7);
        default: ADD_FAILURE() << "unexpected type mask " << typeMask; return FALSE;
        }
    }
};

class MockVersionAPI : public WinOSVersionAPI {
public:
    MOCK_METHOD(BOOL, VerifyVersionInfo, (OSVERSIONINFOEXW*, DWORD, DWORDLONG), (override));
};

// Feeds a chosen product version text in place of kernel32.dll's.
struct FakeImpl : Proxy::_Impl {
    explicit FakeImpl(std::wstring text) : productVersion(std::move(text)) {}
    bool ReadKernelVersion(DWORD (&numbers)[4]) override
    {
        ++reads;
        if (throwOnRead) throw std::out_of_range("part too large");
        return ParseProductVersion(productVersion, numbers);
    }
    std::wstring productVersion;
    std::atomic<int> reads{0};
    bool throwOnRead = false;
};

struct Harness {
    explicit Harness(const std::wstring& text, FakeSystem fake = {})
        : system(fake), api(std::make_shared<NiceMock<MockVersionAPI>>()), impl(std::make_shared<FakeImpl>(text)),
          proxy(api, impl)
    {
        ON_CALL(*api, VerifyVersionInfo(_, _, _)).WillByDefault([this](OSVERSIONINFOEXW* i, DWORD t, DWORDLONG m) {
            return system.Answer(i, t, m);
        });
    }
    OSVersionRecord OSVersion()
    {
        return internal::GetOSVersion(
            [this] { return std::make_shared<Proxy>(api, std::make_shared<FakeImpl>(impl->productVersion)); });
    }

    FakeSystem system;
    std::shared_ptr<NiceMock<MockVersionAPI>> api;
    std::shared_ptr<FakeImpl> impl;
    Proxy proxy;
};

// Every cached answer of a proxy in one line: id/flag (result), record (result), kernel (result).
std::string Summary(Proxy& p)
{
    DWORD id = 99, flag = 99, k[4] = {9, 9, 9, 9};
    OSVersionRecord r{9, 9, 9};
    const bool idOk = p.GetOSIdAndFlag(id, flag);
    const bool recordOk = p.GetVersionRecord(r);
    const bool kernelOk = p.GetKernelVersion(k);
    const std::string s = std::to_string(id) + "/" + std::to_string(flag) + (idOk ? "" : "!") + " " +
                          std::to_string(r.major) + "." + std::to_string(r.minor) + "." +
                          std::to_string(r.servicePackMajor) + (recordOk ? "" : "!") + " " + std::to_string(k[0]) +
                          "." + std::to_string(k[1]) + "." + std::to_string(k[2]) + "." + std::to_string(k[3]) +
                          (kernelOk ? "" : "!");
    EXPECT_EQ(p.GetOSId(), id);
    EXPECT_EQ(p.GetOSFlag(), flag);
    return s;
}

const char kNotComputed[] = "0/2! 0.0.0! 0.0.0.0!";

std::string Text(const OSVersionRecord& r)
{
    return std::to_string(r.major) + "." + std::to_string(r.minor) + "." + std::to_string(r.servicePackMajor);
}

} // namespace

TEST(OSInfo, NTClassificationTable)
{
    struct Case {
        const wchar_t* productVersion;
        WORD servicePack;
        const char* expected;
    } cases[] = {
        {L"10.0.19041.1", 0, "11/1 10.0.0 10.0.19041.1"},
        {L"6.1.7601.24545", 1, "8/1 6.1.1 6.1.7601.24545"},
        {L"6.1.7601", 2, "8/1 6.1.0 6.1.7601.0"}, // 6.1 only probes for service pack 1
        {L"6.0.6002", 2, "7/1 6.0.2 6.0.6002.0"},
        {L"6.0.6002", 3, "7/1 6.0.0 6.0.6002.0"},
        {L"5.0.2195.6717", 4, "4/0 5.0.4 5.0.2195.6717"},
        {L"5.0.2195.6717", 0, "4/0 5.0.0 5.0.2195.6717"},
        {L"5.1.2600", 3, "6/1 5.1.3 5.1.2600.0"},
        {L"5.2", 2, "6/1 5.2.2 5.2.0.0"},
        {L"4.0.1381", 6, "3/0 4.0.0 4.0.1381.0"},
        {L"6.2.9200", 1, "9/1 6.2.0 6.2.9200.0"},
        {L"6.3.9600", 1, "10/1 6.3.0 6.3.9600.0"},
        {L"6.4", 0, "10/1 6.4.0 6.4.0.0"},
        {L"10.5", 1, "11/1 10.5.0 10.5.0.0"},
        {L"7.0", 0, "12/1 7.0.0! 7.0.0.0"},
        {L"11.0.22000.1", 0, "12/1 11.0.0! 11.0.22000.1"},
        {L"10.0.1.2.3", 0, "11/1 10.0.0 10.0.1.2"},
    };
    for (const Case& c : cases) {
        FakeSystem fake;
        fake.servicePack = c.servicePack;
        Harness h(c.productVersion, fake);
        EXPECT_EQ(Summary(h.proxy), c.expected)
            << TestUtil::Narrow(c.productVersion) << " with service pack " << c.servicePack;
    }
}

TEST(OSInfo, GetOSVersionOnlyForKnownMajors)
{
    EXPECT_EQ(Text(Harness(L"10.0.19041.1").OSVersion()), "10.0.0");
    FakeSystem sp1;
    sp1.servicePack = 1;
    EXPECT_EQ(Text(Harness(L"6.1.7601", sp1).OSVersion()), "6.1.1");
    EXPECT_EQ(Text(Harness(L"11.0.22000").OSVersion()), "0.0.0");
    EXPECT_EQ(Text(Harness(L"10..1").OSVersion()), "0.0.0");
}

TEST(OSInfo, NinetyFiveFamilyMinorProbe)
{
    // Every minor version the probe can tell apart from its failure value 100 comes back.
    for (DWORD minor = 0; minor < 112; ++minor) {
        FakeSystem fake;
        fake.platform = VER_PLATFORM_WIN32_WINDOWS;
        fake.minor9x = minor;
        Harness h(L"4.10.2222", fake);
        const std::string id = minor == 0 ? "1" : minor < 90 ? "2" : "5";
        const std::string expected =
            minor == 100 || minor >= 104 ? kNotComputed : id + "/0 4." + std::to_string(minor) + ".0 4.10.2222.0";
        EXPECT_EQ(Summary(h.proxy), expected) << "minor " << minor;
    }
}

TEST(OSInfo, UnusableAnswersGiveDefaultsAndAreRetried)
{
    for (const wchar_t* bad : {L"10..1", L"", L"x.0", L"10.4294967296"}) {
        Harness h(bad);
        EXPECT_EQ(Summary(h.proxy), kNotComputed) << TestUtil::Narrow(bad);
        EXPECT_GE(h.impl->reads.load(), 3) << "each query tries again";
        h.impl->productVersion = L"10.0.1.2";
        EXPECT_EQ(h.proxy.GetOSId(), 11u);
    }
    FakeSystem unknownPlatform;
    unknownPlatform.platform = 3;
    Harness h(L"10.0", unknownPlatform);
    EXPECT_EQ(Summary(h.proxy), kNotComputed);
}

TEST(OSInfo, ThrowingReadLeavesNoThreadSpinning)
{
    Harness h(L"10.0.1.1");
    h.impl->throwOnRead = true;
    EXPECT_EQ(h.proxy.GetOSId(), 0u);
    // Had the failure left the state "running", this thread would never return.
    std::atomic<DWORD> flag{99};
    std::thread([&] { flag = h.proxy.GetOSFlag(); }).join();
    EXPECT_EQ(flag.load(), 2u);
    h.impl->throwOnRead = false;
    EXPECT_EQ(h.proxy.GetOSId(), 11u);
}

TEST(OSInfo, ComputedOnceAcrossThreadsAndCopies)
{
    FakeSystem sp1;
    sp1.servicePack = 1;
    Harness h(L"6.1.7601.1", sp1);
    Proxy copy = h.proxy;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            Proxy& p = (i % 2) ? copy : h.proxy;
            OSVersionRecord r{};
            for (int n = 0; n < 50; ++n)
                if (p.GetOSId() != 8 || !p.GetVersionRecord(r) || r.servicePackMajor != 1) ++wrong;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(h.impl->reads.load(), 1);
}

TEST(OSInfo, PlatformIsAskedEveryTime)
{
    Harness h(L"10.0");
    EXPECT_CALL(*h.api, VerifyVersionInfo(_, VER_PLATFORMID, _)).Times(2);
    EXPECT_TRUE(h.proxy.IsNTPlatform());
    h.system.platform = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_FALSE(h.proxy.IsNTPlatform());
    EXPECT_EQ(h.impl->reads.load(), 0);
}

TEST(OSInfo, RunningSystem)
{
    // Wine's kernel32.dll carries product version 10.0.18362.1350; a 64-bit process is no WOW64 one.
    Proxy proxy;
    EXPECT_EQ(Summary(proxy), "11/1 10.0.0 10.0.18362.1350");
    EXPECT_TRUE(proxy.IsNTPlatform());
    EXPECT_FALSE(proxy.IsWow64());
    EXPECT_EQ(Text(GetOSVersion()), "10.0.0");
}
