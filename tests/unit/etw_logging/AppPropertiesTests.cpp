#include "ETWLogging/AppProperties.h"
#include "ETWLogging/ProductIds.h"
#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/RegKey.h"

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <cstring>
#include <string>

using ETWLogging::internal::ETWAppProperties;

namespace {

const wchar_t* const kSetRoot = L"SOFTWARE\\Orvane.logging\\";

// A uniquely named property set under HKLM, written as the installer would (enciphered values);
// removed with everything below it when the object goes.
class RegistrySet {
public:
    RegistrySet() : name_(TestUtil::UniqueName(L"PropSet")), path_(kSetRoot + name_)
    {
        Lumetra::CRegKey key;
        EXPECT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, path_.c_str()));
    }
    ~RegistrySet() { SHDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str()); }
    RegistrySet(const RegistrySet&) = delete;
    RegistrySet& operator=(const RegistrySet&) = delete;

    void Set(const wchar_t* subKey, const wchar_t* name, const wchar_t* text)
    {
        Lumetra::CObfuscatedRegKey key;
        std::wstring path = subKey ? path_ + L"\\" + subKey : path_;
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, path.c_str()));
        ASSERT_EQ(0, key.SetStringValue(name, text));
    }
    void SetPlain(const wchar_t* subKey, const wchar_t* name, const wchar_t* text)
    {
        Lumetra::CRegKey key;
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, (path_ + L"\\" + subKey).c_str()));
        ASSERT_EQ(0, key.SetStringValue(name, text));
    }
    void AddSubKey(const wchar_t* subKey)
    {
        Lumetra::CRegKey key;
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, (path_ + L"\\" + subKey).c_str()));
    }
    // Every required value.
    void Complete()
    {
        Set(L"Controller", L"Controller Path", L"C:\\Tools\\Lognex.dll");
        Set(L"Controller", L"Owner Mutex Name", L"Global\\TestOwner");
        Set(L"Session", L"Session ID Guid", L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
        Set(L"Session", L"Session Name", L"Test Session");
        Set(L"Provider", L"Provider Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF00}");
    }

    const std::wstring& Name() const { return name_; }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring name_;
    std::wstring path_;
};

// {0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}
const GUID kTestSessionId = {0x0a1b2c3d, 0x4e5f, 0x6071, {0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9}};
// {11223344-5566-7788-99AA-BBCCDDEEFF00}
const GUID kTestProvider = {0x11223344, 0x5566, 0x7788, {0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00}};

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// Found independently of the code under test: the environment names the same folder.
std::wstring ProgramData()
{
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(L"ProgramData", path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(path) : std::wstring();
}

void ExpectDefaultSet(const ETWAppProperties& p)
{
    const std::wstring base = ProgramData();
    ASSERT_FALSE(base.empty());
    EXPECT_EQ(base, p.GetBaseFolder());
    EXPECT_EQ(L"SOFTWARE\\Orvane\\Logging", p.GetLoggingKey());
    EXPECT_EQ(L"SOFTWARE\\Orvane\\Logging\\Controller", p.GetControllerKey());
    EXPECT_EQ(L"SOFTWARE\\Orvane\\Logging\\Provider", p.GetProviderKey());
    EXPECT_EQ(L"SOFTWARE\\Orvane\\Logging", p.GetSettingsKey());
    EXPECT_EQ(base + L"\\Orvane\\OVLOGS", p.GetLogFolder());
    EXPECT_EQ(base + L"\\Orvane\\OVLOGS\\ETW", p.GetEtwFolder());
    EXPECT_EQ(base + L"\\Orvane\\OVLOGS\\ETW\\ovlogs.etl", p.GetEtlPath());
    EXPECT_EQ(L"Global\\Orvane.{F38D2725-C006-424C-A2DD-31BB8563BED3}", p.GetOwnerMutexName());
    EXPECT_EQ(L"Orvane.{B89459B4-A9D7-4479-B9E4-17338E483404}", p.GetSessionName());
    EXPECT_TRUE(SameGuid(ETWLogging::kDefaultSessionIdGuid, p.GetSessionIdGuid()));
    EXPECT_TRUE(SameGuid(ETWLogging::kDefaultProviderGuid, p.GetProviderGuid()));
    EXPECT_TRUE(p.GetControllerPath().empty());
    EXPECT_EQ(HKEY_LOCAL_MACHINE, p.GetRegistryRoot());
}

TEST(AppProperties, NullEmptyAndCapitalNamesGiveTheDefaultSet)
{
    ETWAppProperties byNull;
    ASSERT_TRUE(byNull.Initialize(nullptr));
    EXPECT_EQ(L"Kavo", byNull.GetName());
    ExpectDefaultSet(byNull);

    ETWAppProperties byEmpty;
    ASSERT_TRUE(byEmpty.Initialize(L""));
    EXPECT_EQ(L"Kavo", byEmpty.GetName());
    ExpectDefaultSet(byEmpty);

    ETWAppProperties byCapitals;
    ASSERT_TRUE(byCapitals.Initialize(L"KAVO"));
    ExpectDefaultSet(byCapitals);

    // Initialised once: a second call changes nothing.
    EXPECT_FALSE(byNull.Initialize(L"Other"));
    EXPECT_EQ(L"Kavo", byNull.GetName());
    ExpectDefaultSet(byNull);

    // Copies carry every field.
    ETWAppProperties copy(byNull);
    EXPECT_EQ(L"Kavo", copy.GetName());
    ExpectDefaultSet(copy);
}

TEST(AppProperties, UnknownNameWithoutRegistryKeyFails)
{
    ETWAppProperties p;
    std::wstring name = TestUtil::UniqueName(L"Missing");
    EXPECT_FALSE(p.Initialize(name.c_str()));
    EXPECT_TRUE(p.GetProviderKey().empty());
    EXPECT_TRUE(SameGuid(GUID{}, p.GetProviderGuid()));
}

TEST(AppProperties, RegistrySetOverridesEverything)
{
    RegistrySet set;
    set.Complete();
    set.Set(nullptr, L"Log Path", L"\\Custom\\Logs");
    set.Set(nullptr, L"ETL Path", L"\\Custom\\Trace");

    ETWAppProperties p;
    ASSERT_TRUE(p.Initialize(set.Name().c_str()));
    const std::wstring base = ProgramData();
    EXPECT_EQ(set.Path(), p.GetLoggingKey());
    EXPECT_EQ(set.Path() + L"\\Controller", p.GetControllerKey());
    EXPECT_EQ(set.Path() + L"\\Provider", p.GetProviderKey());
    EXPECT_EQ(set.Path(), p.GetSettingsKey());
    EXPECT_EQ(base + L"\\Custom\\Logs", p.GetLogFolder());
    EXPECT_EQ(base + L"\\Custom\\Trace", p.GetEtwFolder());
    EXPECT_EQ(base + L"\\Custom\\Trace\\ovlogs.etl", p.GetEtlPath());
    EXPECT_EQ(L"C:\\Tools\\Lognex.dll", p.GetControllerPath());
    EXPECT_EQ(L"Global\\TestOwner", p.GetOwnerMutexName());
    EXPECT_EQ(L"Test Session", p.GetSessionName());
    EXPECT_TRUE(SameGuid(kTestSessionId, p.GetSessionIdGuid()));
    EXPECT_TRUE(SameGuid(kTestProvider, p.GetProviderGuid()));
}

TEST(AppProperties, MissingFolderValuesTakeTheDefaults)
{
    RegistrySet set;
    set.Complete();
    ETWAppProperties p;
    ASSERT_TRUE(p.Initialize(set.Name().c_str()));
    const std::wstring base = ProgramData();
    EXPECT_EQ(base + L"\\Orvane\\OVLOGS", p.GetLogFolder());
    EXPECT_EQ(base + L"\\Orvane\\OVLOGS\\ETW", p.GetEtwFolder());
    EXPECT_EQ(base + L"\\Orvane\\OVLOGS\\ETW\\ovlogs.etl", p.GetEtlPath());
}

TEST(AppProperties, MissingRequiredValueFailsAndKeepsWhatWasRead)
{
    RegistrySet set;
    set.Set(L"Controller", L"Controller Path", L"C:\\Tools\\Lognex.dll");
    set.Set(L"Controller", L"Owner Mutex Name", L"Global\\TestOwner");
    set.Set(L"Session", L"Session ID Guid", L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    set.Set(L"Provider", L"Provider Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF00}");
    // "Session Name" is missing.

    ETWAppProperties p;
    EXPECT_FALSE(p.Initialize(set.Name().c_str()));
    EXPECT_EQ(L"C:\\Tools\\Lognex.dll", p.GetControllerPath());
    EXPECT_EQ(L"Global\\TestOwner", p.GetOwnerMutexName());
    EXPECT_TRUE(SameGuid(kTestSessionId, p.GetSessionIdGuid()));
    EXPECT_TRUE(p.GetSessionName().empty());
    EXPECT_TRUE(SameGuid(GUID{}, p.GetProviderGuid()));
}

TEST(AppProperties, MissingSubKeyFails)
{
    RegistrySet set;
    set.AddSubKey(L"Session");
    set.AddSubKey(L"Controller");
    ETWAppProperties p;
    EXPECT_FALSE(p.Initialize(set.Name().c_str()));
}

TEST(AppProperties, ValuesMustBeEnciphered)
{
    RegistrySet set;
    set.Complete();
    set.SetPlain(L"Session", L"Session Name", L"Plain Text");
    ETWAppProperties p;
    EXPECT_FALSE(p.Initialize(set.Name().c_str()));
    EXPECT_TRUE(p.GetSessionName().empty());
}

TEST(AppProperties, SessionIdNeedsBracesProviderGuidDoesNot)
{
    {
        RegistrySet set;
        set.Complete();
        set.Set(L"Provider", L"Provider Guid", L"11223344-5566-7788-99AA-BBCCDDEEFF00");
        ETWAppProperties p;
        ASSERT_TRUE(p.Initialize(set.Name().c_str()));
        EXPECT_TRUE(SameGuid(kTestProvider, p.GetProviderGuid()));
    }
    {
        RegistrySet set;
        set.Complete();
        set.Set(L"Session", L"Session ID Guid", L"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
        ETWAppProperties p;
        EXPECT_FALSE(p.Initialize(set.Name().c_str()));
    }
}

} // namespace
