#include "registry/CADataManager.h"
#include "registry/CAUtils.h"
#include "registry/ConfigurationRegistry.h"

#include "common/AnalyticsKeys.h"
#include "config/CAJsonParser.h"

#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/ValueCipher.h"

#include "LogCapture.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);

const LCID kEnglishUs = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);   // ANSI 1252
const LCID kJapanese = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT); // ANSI 932
const std::wstring kTelvana = L"SOFTWARE\\Orvane\\OvTelvana";
const std::wstring kCached = kTelvana + L"\\Cached";

// The record as laid out by hand: magic, version 1, length, type at 0/4/8/12; MD5 at 16 over
// the record with those 16 bytes zero; the data enciphered from 32 under the registry key text.
void ExpectRecord(const std::vector<BYTE>& raw, DWORD type, const std::string& plain)
{
    ASSERT_EQ(raw.size(), 32 + plain.size());
    const BYTE header[16] = {'O', 'V', 'R', 'G', 1, 0, 0, 0, static_cast<BYTE>(plain.size()), 0, 0, 0,
                             static_cast<BYTE>(type), 0, 0, 0};
    EXPECT_TRUE(std::equal(header, header + 16, raw.begin()));
    std::vector<BYTE> zeroed = raw;
    std::fill(zeroed.begin() + 16, zeroed.begin() + 32, 0);
    unsigned char digest[16];
    ASSERT_EQ(Lumetra::ComputeMD5(zeroed.data(), static_cast<DWORD>(zeroed.size()), digest, 16), 0);
    EXPECT_EQ(std::memcmp(digest, raw.data() + 16, 16), 0);
    std::vector<BYTE> data(plain.begin(), plain.end());
    Lumetra::CValueCipher cipher("{3A7C91D2-5E04-4b8f-A2C6-81F0D93B7E15}", 38, 1);
    ASSERT_TRUE(cipher.Encipher(data.data(), data.data(), static_cast<DWORD>(data.size())));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), raw.begin() + 32));
}

// Every test works under its own scratch key, to which the layer redirects HKEY_LOCAL_MACHINE,
// with the thread's ANSI code page pinned to 1252.
class Redirected : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SetThreadLocale(kEnglishUs));
        SetRegistryRedirection(m_scratch.Root(), m_scratch.Path());
        LogCapture::Clear();
    }
    void TearDown() override { ClearRegistryRedirection(); }

    // Raw access to HKEY_LOCAL_MACHINE\<path> as the layer sees it, past the code under test.
    std::unique_ptr<Lumetra::CRegKey> Key(const std::wstring& path)
    {
        auto key = std::make_unique<Lumetra::CRegKey>();
        EXPECT_EQ(key->Create(m_scratch.Root(), (m_scratch.Path() + L"\\" + path).c_str()), ERROR_SUCCESS);
        return key;
    }
    std::vector<BYTE> Raw(const std::wstring& path, const std::wstring& name, DWORD expectedType)
    {
        auto key = Key(path);
        DWORD type = REG_NONE;
        ULONG size = 0;
        EXPECT_EQ(key->QueryValue(name.c_str(), &type, nullptr, &size), ERROR_SUCCESS);
        std::vector<BYTE> data(size);
        EXPECT_EQ(key->QueryValue(name.c_str(), &type, data.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(type, expectedType);
        data.resize(size);
        return data;
    }
    void Put(const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD size)
    {
        EXPECT_EQ(Key(path)->SetValue(name.c_str(), type, data, size), ERROR_SUCCESS);
    }
    void PutText(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ)
    {
        Put(kTelvana, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    TestUtil::ScratchRegKey m_scratch;
};

using RegistryLayer = Redirected;
using RegistrySettings = Redirected;
using DataManager = Redirected;

} // namespace

TEST_F(RegistryLayer, RecordIsTheSupportLibrarysWithAnsiTextAndEmptyDataRefused)
{
    ASSERT_EQ(SaveStringValueToRegistry(kTelvana, L"text", L"abc", kRegistryEncipheredValue), ERROR_SUCCESS);
    ExpectRecord(Raw(kTelvana, L"text", REG_BINARY), REG_SZ, std::string("abc", 4));
    ASSERT_EQ(SaveValueToRegistry(kTelvana, L"dword", 5, kRegistryEncipheredValue), ERROR_SUCCESS);
    ExpectRecord(Raw(kTelvana, L"dword", REG_BINARY), REG_DWORD, std::string("\5\0\0\0", 4));
    // Text inside is in the thread's ANSI code page (1252: e9), not UTF-8 (c3 a9).
    ASSERT_EQ(SaveStringValueToRegistry(kTelvana, L"accent", L"\u00e9", kRegistryEncipheredValue), ERROR_SUCCESS);
    ExpectRecord(Raw(kTelvana, L"accent", REG_BINARY), REG_SZ, std::string("\xe9", 2));

    // Both sides read each other's ASCII text and DWORDs.
    HKEY root = HKEY_LOCAL_MACHINE;
    std::wstring path = kTelvana;
    ResolveRegistryLocation(root, path);
    Lumetra::CObfuscatedRegKey support;
    ASSERT_EQ(support.Open(root, path.c_str()), ERROR_SUCCESS);
    std::wstring text;
    DWORD value = 0;
    EXPECT_EQ(support.QueryStringValue(L"text", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"abc");
    EXPECT_EQ(support.QueryDWORDValue(L"dword", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 5u);
    ASSERT_EQ(support.SetStringValue(L"fromSupport", L"xyz"), ERROR_SUCCESS);
    ASSERT_EQ(support.SetDWORDValue(L"dwordFromSupport", 7), ERROR_SUCCESS);
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"fromSupport", text, kRegistryEncipheredValue), ERROR_SUCCESS);
    EXPECT_EQ(text, L"xyz");
    EXPECT_EQ(GetValueFromRegistry(kTelvana, L"dwordFromSupport", value, kRegistryEncipheredValue), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);

    // A record of no data, one altered byte, a plain value: none is a value here.
    std::vector<BYTE> empty(32, 0);
    std::memcpy(empty.data(), "OVRG\1\0\0\0\0\0\0\0\1\0\0\0", 16);
    unsigned char digest[16];
    Lumetra::ComputeMD5(empty.data(), 32, digest, 16);
    std::memcpy(empty.data() + 16, digest, 16);
    Put(kTelvana, L"empty", REG_BINARY, empty.data(), 32);
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"empty", text, kRegistryEncipheredValue), ERROR_DECRYPTION_FAILED);
    std::vector<BYTE> altered = Raw(kTelvana, L"text", REG_BINARY);
    altered[33] ^= 1;
    Put(kTelvana, L"altered", REG_BINARY, altered.data(), static_cast<DWORD>(altered.size()));
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"altered", text, kRegistryEncipheredValue), ERROR_INVALID_DATA);
    PutText(L"plain", L"abc");
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"plain", text, kRegistryEncipheredValue), ERROR_INVALID_DATA);
    EXPECT_EQ(text, L"");

    // An empty text is a plain value of 0 bytes, but no record at all.
    EXPECT_EQ(SaveStringValueToRegistry(kTelvana, L"blank", L"", kRegistryPlainValue), ERROR_SUCCESS);
    EXPECT_TRUE(Raw(kTelvana, L"blank", REG_SZ).empty());
    EXPECT_EQ(SaveStringValueToRegistry(kTelvana, L"blank", L"", kRegistryEncipheredValue), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Raw(kTelvana, L"blank", REG_SZ).empty());
}

TEST_F(RegistryLayer, WrongTypesGive13AndStringsComeFromOneWholeRead)
{
    DWORD value = 42;
    PutText(L"flag", L"1");
    EXPECT_EQ(GetValueFromRegistry(kTelvana, L"flag", value, kRegistryPlainValue), ERROR_INVALID_DATA);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(LogCapture::Count(L"Failure reading 'flag' reg key. Error code: 13", 1, L"CAUtils",
                                L"GetValueFromRegistry"), 1u);
    EXPECT_TRUE(GetBoolFromRegistry(kTelvana, L"flag", kRegistryPlainValue, true));
    EXPECT_EQ(GetValueFromRegistry(kTelvana, L"absent", value, kRegistryPlainValue), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(GetBoolFromRegistry(kTelvana, L"absent", kRegistryPlainValue, false));

    std::wstring text = L"stale";
    const DWORD number = 1;
    Put(kTelvana, L"number", REG_DWORD, &number, 4);
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"number", text, kRegistryPlainValue), ERROR_INVALID_DATA);
    EXPECT_EQ(text, L"");
    Put(kTelvana, L"binary", REG_BINARY, "ab\0\0", 4);
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"binary", text, kRegistryPlainValue), ERROR_INVALID_DATA);
    PutText(L"expand", L"%TEMP%\\x", REG_EXPAND_SZ);
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"expand", text, kRegistryPlainValue), ERROR_SUCCESS);
    EXPECT_EQ(text, L"%TEMP%\\x");
    // Stored without its terminating zero: exactly the bytes that are there.
    Put(kTelvana, L"unterminated", REG_SZ, L"abc", 6);
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"unterminated", text, kRegistryPlainValue), ERROR_SUCCESS);
    EXPECT_EQ(text, L"abc");

    const std::wstring long600(600, L'x');
    PutText(L"long", long600);
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"long", text, kRegistryPlainValue), ERROR_MORE_DATA);
    EXPECT_EQ(text, L"");
    EXPECT_EQ(GetLargeStringFromRegistry(kTelvana, L"long", text, kRegistryPlainValue), ERROR_SUCCESS);
    EXPECT_EQ(text, long600);
    // Values past what their reader takes are refused from their size alone, never read whole.
    const std::vector<BYTE> huge(kRegistryLargeStringLimit + 64, 0x41);
    Put(kTelvana, L"globalEnable", REG_DWORD, huge.data(), static_cast<DWORD>(huge.size()));
    Put(kCached, L"huge", REG_BINARY, huge.data(), static_cast<DWORD>(huge.size()));
    PROCESS_MEMORY_COUNTERS before = {}, after = {};
    before.cb = after.cb = sizeof before;
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before));
    EXPECT_EQ(GetValueFromRegistry(kTelvana, L"globalEnable", value, kRegistryPlainValue), ERROR_MORE_DATA);
    EXPECT_EQ(CCADataManager().LoadCachedText(L"huge", text), ERROR_MORE_DATA);
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after));
    EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, huge.size() / 2);

    // The lower read reports sizes in UTF-16 bytes; lists keep their strings, plain ones every
    // character, records those of the ANSI code page.
    const wchar_t plainList[] = L"one\0\u65e5\u014co\0";
    const wchar_t recordList[] = L"one\0t\u00e9o\0";
    for (DWORD options : {kRegistryPlainValue, kRegistryEncipheredValue}) {
        const wchar_t* list = options == kRegistryPlainValue ? plainList : recordList;
        const DWORD bytes = sizeof plainList;
        ASSERT_EQ(WriteRegistryValue(HKEY_LOCAL_MACHINE, kTelvana, L"list", REG_MULTI_SZ, list, bytes, options), 0u);
        DWORD type = REG_NONE;
        DWORD size = 0;
        EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kTelvana, L"list", &type, nullptr, &size, options), 0u);
        EXPECT_EQ(size, bytes);
        wchar_t buffer[16];
        size = bytes - 2;
        EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kTelvana, L"list", &type, buffer, &size, options),
                  static_cast<DWORD>(ERROR_MORE_DATA));
        size = sizeof buffer;
        EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kTelvana, L"list", &type, buffer, &size, options), 0u);
        EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
        EXPECT_EQ(std::wstring(buffer, size / 2), std::wstring(list, bytes / 2));
    }
    EXPECT_EQ(Raw(kTelvana, L"list", REG_BINARY).size(), 32u + 9u);   // one ANSI byte per character
}

TEST_F(RegistryLayer, PlainTextKeepsEveryCharacterWhoeverWritesIt)
{
    // Written by a peer through the wide functions: read back whole, by the layer and the settings.
    const std::wstring path = L"C:\\ProgramData\\\u014crvane\\\u65e5\\cfg.json";
    PutText(L"configFileDir", path);
    std::wstring text;
    EXPECT_EQ(GetStringFromRegistry(kTelvana, L"configFileDir", text, kRegistryPlainValue), ERROR_SUCCESS);
    EXPECT_EQ(text, path);
    ConfigurationRegistry registry;
    EXPECT_EQ(registry.GetConfigFileDir(), path);

    // Written by the layer: the registry holds the same UTF-16 text with its terminator.
    ASSERT_EQ(registry.WriteStringValue(L"written", path), ERROR_SUCCESS);
    const std::vector<BYTE> raw = Raw(kTelvana, L"written", REG_SZ);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2), path + L'\0');
}

TEST_F(RegistryLayer, EncipheredValuesNeverReachTheLogInClear)
{
    ASSERT_EQ(SaveStringValueToRegistry(kTelvana, L"hidden", L"secret-text", kRegistryEncipheredValue), 0u);
    ASSERT_EQ(SaveValueToRegistry(kTelvana, L"hiddenNumber", 987654, kRegistryEncipheredValue), 0u);
    std::wstring text;
    DWORD value = 0;
    ASSERT_EQ(GetStringFromRegistry(kTelvana, L"hidden", text, kRegistryEncipheredValue), 0u);
    ASSERT_EQ(GetValueFromRegistry(kTelvana, L"hiddenNumber", value, kRegistryEncipheredValue), 0u);
    EXPECT_EQ(text, L"secret-text");
    EXPECT_EQ(value, 987654u);
    EXPECT_FALSE(LogCapture::Contains(L"secret-text"));
    EXPECT_FALSE(LogCapture::Contains(L"987654"));
    EXPECT_TRUE(LogCapture::Contains(L"'hidden'"));

    ASSERT_EQ(SaveStringValueToRegistry(kTelvana, L"shown", L"visible", kRegistryPlainValue), 0u);
    ASSERT_EQ(GetStringFromRegistry(kTelvana, L"shown", text, kRegistryPlainValue), 0u);
    EXPECT_EQ(LogCapture::Count(L"Reg key 'shown', value: 'visible'", 1, L"CAUtils", L"StringValueFromRegistry"), 1u);
}

TEST(RegistryUtilities, TranslateKeysAndBstrEmptiness)
{
    const KeyValueMap input = {{L"a", L"1"}, {L"b", L"2"}, {L"c", L"3"}};
    EXPECT_TRUE(TranslateKeys(input, {}).empty());
    KeyValueMap both = TranslateKeys(input, {{L"a", L"x"}, {L"b", L"x"}});
    ASSERT_EQ(both.size(), 1u);
    // Whichever of a and b the input's iteration visits last wins.
    std::wstring last;
    for (const auto& entry : input)
        if (entry.first != L"c") last = entry.second;
    EXPECT_EQ(both[L"x"], last);

    struct Free {
        void operator()(BSTR text) const { SysFreeString(text); }
    };
    using Bstr = std::unique_ptr<OLECHAR, Free>;
    EXPECT_TRUE(IsBstrEmpty(nullptr));
    EXPECT_TRUE(IsBstrEmpty(Bstr(SysAllocString(L"")).get()));
    EXPECT_TRUE(IsBstrEmpty(Bstr(SysAllocStringLen(L"\0a", 2)).get()));
    EXPECT_FALSE(IsBstrEmpty(Bstr(SysAllocString(L"a")).get()));
}

TEST_F(RegistrySettings, DefaultsListsAndFirstRun)
{
    static_assert(!std::is_copy_constructible_v<ConfigurationRegistry> &&
                  !std::is_move_constructible_v<ConfigurationRegistry> &&
                  !std::is_copy_assignable_v<ConfigurationRegistry>);
    EXPECT_EQ(ConfigurationRegistry::GetInstance(), ConfigurationRegistry::GetInstance());
    ConfigurationRegistry registry;
    CCAConfig& config = registry.GetConfig();
    EXPECT_FALSE(config.IsGlobalEnabled());
    EXPECT_TRUE(config.IsGoogleAnalyticsEnabled());
    EXPECT_FALSE(config.IsTelvanaEnabled());
    EXPECT_TRUE(registry.ReadEnableMessageBusPublishing());

    // Lists longer than a standard read (and than the first read buffer) come back whole.
    std::wstring sinks;
    while (sinks.size() < 3000) sinks += L"nimbo;ga;";
    PutText(L"enabledSinks", sinks);
    EXPECT_EQ(registry.GetEnabledSinks(), sinks);
    PutText(L"configFileDir", L"C:\\ProgramData\\cfg.json");
    EXPECT_EQ(registry.GetConfigFileDir(), L"C:\\ProgramData\\cfg.json");
    EXPECT_EQ(registry.WriteStringValue(L"__ServiceTag", static_cast<const wchar_t*>(nullptr)),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // First run: affid before '-', culture lower-cased, a list too long for a standard read.
    Put(Taliro::Analytics::kQueryParamsRegistryPath, L"affid", REG_SZ, L"5678-xyz", 18);
    Put(Taliro::Analytics::kQueryParamsRegistryPath, L"culture", REG_SZ, L"EN-US", 12);
    PutText(L"enabledAffIdLocales", std::wstring(600, L'-') + L";5678,en-us;");
    registry.UpdateEnableFlag();
    EXPECT_EQ(LogCapture::Count(L"Computed value of enableTelvana:  1", 3, L"CAConfig", L"CCAConfig::UpdateEnableFlag"),
              1u);
    EXPECT_TRUE(registry.ReadEnableTelvana());
    EXPECT_FALSE(config.IsTelvanaEnabled());
    ASSERT_EQ(registry.WriteDwordValue(L"globalEnable", 1), 0u);
    EXPECT_TRUE(config.IsTelvanaEnabled());

    // A later run removes the list and leaves the flag alone.
    ASSERT_EQ(registry.WriteSetupComplete(), 0u);
    registry.UpdateEnableFlag();
    EXPECT_EQ(registry.GetEnabledAffIdLocales(), L"");
    EXPECT_TRUE(registry.ReadEnableTelvana());
    EXPECT_EQ(registry.DeleteEnabledAffIdLocales(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(config.MatchEnableList(L"1234", L"en-us", L";1234;"));
    EXPECT_FALSE(config.MatchEnableList(L"1234", L"en-us", L";12345;"));
    EXPECT_FALSE(config.MatchEnableList(L"1234", L"en-us", L"1234;"));
    EXPECT_FALSE(config.MatchEnableList(L"AB", L"en-us", L";ab;"));
}

TEST_F(DataManager, DeltaMergeAndACacheThatKeepsEveryCharacter)
{
    CCADataManager manager;
    KeyValueMap delta;
    KeyValueMap merged;
    const KeyValueMap cached = {{L"a", L"1"}, {L"b", L"2"}, {L"gone", L"0"}};
    const KeyValueMap current = {{L"a", L"1"}, {L"b", L"3"}, {L"c", L"4"}, {L"UniqueId", L"u"}};
    manager.ComputeDelta(cached, current, delta, Taliro::Analytics::kAlwaysSentKeys);
    EXPECT_EQ(delta, (KeyValueMap{{L"b", L"3"}, {L"c", L"4"}, {L"UniqueId", L"u"}}));
    manager.MergeMaps(cached, current, merged);
    EXPECT_EQ(merged, (KeyValueMap{{L"a", L"1"}, {L"b", L"3"}, {L"c", L"4"}, {L"UniqueId", L"u"}, {L"gone", L"0"}}));
    delta.clear();
    manager.ComputeDelta(current, current, delta);
    EXPECT_TRUE(delta.empty());

    // ASCII is stored exactly as the JSON text; other characters survive the ANSI code page.
    ASSERT_EQ(manager.SaveCachedMap(L"ascii", {{L"k", L"v"}}), 0u);
    std::wstring json;
    CCAJsonParser().MapToJsonString({{L"k", L"v"}}, json);
    ExpectRecord(Raw(kCached, L"ascii", REG_BINARY), REG_SZ, TestUtil::Narrow(json) + '\0');
    const KeyValueMap wide = {{L"name", L"\u0101"}, {L"city", L"\u65e5\u672c"}};
    ASSERT_EQ(manager.SaveCachedMap(L"u1", wide), 0u);
    KeyValueMap loaded;
    ASSERT_EQ(manager.LoadCachedMap(L"u1", loaded), 0u);
    EXPECT_EQ(loaded, wide);
    delta.clear();
    manager.ComputeDelta(loaded, {{L"name", L"a"}}, delta);
    EXPECT_EQ(delta.size(), 1u);

    // Only what its reader takes back is stored (0xA00000 bytes as UTF-16); else the old value stays.
    const std::wstring edge(kRegistryLargeStringLimit / 2 - 1, L'x');
    ASSERT_EQ(manager.SaveCachedText(L"grown", edge), 0u);
    EXPECT_EQ(manager.SaveCachedText(L"grown", edge + L"x"), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(manager.SaveCachedMap(L"grown", {{L"k", std::wstring(1u << 20, L'\u00e9')}}), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(LogCapture::Count(L"Error saving 'grown' key to the registry", 4, L"CAUtils"), 2u);
    EXPECT_TRUE(manager.LoadCachedText(L"grown", json) == 0 && json == edge);

    // No unique id, or one the ANSI value names cannot hold: no cache at all.
    EXPECT_FALSE(CCADataManager::CanCache(L""));
    EXPECT_FALSE(CCADataManager::CanCache(L"id-\u0101"));
    EXPECT_TRUE(CCADataManager::CanCache(L"id-\u00e9"));
    EXPECT_EQ(manager.SaveCachedMap(L"", wide), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(manager.SaveCachedMap(L"id-\u0101", wide), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(manager.LoadCachedMap(L"", loaded), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kCached, L"id-a", nullptr, nullptr, nullptr, 0), 2u);
    // An embedded NUL would end the value name early, at the cache of "a".
    EXPECT_EQ(manager.SaveCachedMap(std::wstring(L"a\0b", 3), wide), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(manager.LoadCachedMap(std::wstring(L"a\0b", 3), loaded), static_cast<DWORD>(ERROR_INVALID_NAME));
    // The code page is the thread's: under 932 the same ideographs are fine names.
    ASSERT_TRUE(SetThreadLocale(kJapanese));
    EXPECT_TRUE(CCADataManager::CanCache(L"\u65e5\u672c"));
    ASSERT_TRUE(SetThreadLocale(kEnglishUs));
    EXPECT_FALSE(CCADataManager::CanCache(L"\u65e5\u672c"));

    // A cache that is not JSON, and a deleted one, leave the next event whole.
    ASSERT_EQ(manager.SaveCachedText(L"junk", L"not json"), 0u);
    loaded.clear();
    EXPECT_EQ(manager.LoadCachedMap(L"junk", loaded), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(loaded.empty());
    EXPECT_EQ(manager.DeleteCachedValue(L"u1"), 0u);
    EXPECT_EQ(manager.LoadCachedMap(L"u1", loaded), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
