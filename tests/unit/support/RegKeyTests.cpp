#include "Lumetra/RegKey.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using Lumetra::CRegKey;
using Lumetra::internal::CRegKeyImpl;
using Lumetra::internal::CSecurityApiProxy;
using TestUtil::ScratchRegKey;

namespace {

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool IsOpen(HKEY key)
{
    DWORD values = 0;
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS;
}

void MakeKey(HKEY root, const std::wstring& path, REGSAM view = 0)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

SIZE_T g_smallestInitialised = SIZE_MAX;   // block handed to InitializeSecurityDescriptor
BOOL WINAPI RecordingInitialise(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    g_smallestInitialised = std::min(g_smallestInitialised, LocalSize(descriptor));
    return InitializeSecurityDescriptor(descriptor, revision);
}
FARPROC WINAPI ResolveRecording(HMODULE module, LPCSTR name)
{
    if (std::strcmp(name, "InitializeSecurityDescriptor") != 0) return GetProcAddress(module, name);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RecordingInitialise));
}

// True when the key's DACL holds an allow entry for Everyone with full access.
bool EveryoneHasFullAccess(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, READ_CONTROL, &key) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> sd(size ? size : 1);
    bool found = false;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &size) == ERROR_SUCCESS) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = nullptr;
        AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
        if (GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted) && present && dacl) {
            for (DWORD i = 0; i < dacl->AceCount && !found; ++i) {
                ACCESS_ALLOWED_ACE* ace = nullptr;
                if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
                    continue;
                bool full = (ace->Mask & GENERIC_ALL) || (ace->Mask & KEY_ALL_ACCESS) == KEY_ALL_ACCESS;
                found = full && EqualSid(&ace->SidStart, everyone);
            }
        }
        FreeSid(everyone);
    }
    RegCloseKey(key);
    return found;
}

// Removes a key tree in one WOW64 view of HKLM.
struct ViewCleanup {
    std::wstring path;
    ~ViewCleanup()
    {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
                RegDeleteTreeW(key, nullptr);
                RegCloseKey(key);
                RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
            }
        }
    }
};

} // namespace

TEST(RegKeyOpen, FailedOpenKeepsHeldKeyAndSuccessfulOpenClosesItAfterwards)
{
    ScratchRegKey scratch;
    MakeKey(scratch.Handle(), L"child");
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    HKEY first = key.GetHandle();

    EXPECT_EQ(key.Open(HKEY_CURRENT_USER, (scratch.Path() + L"\\missing").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.GetHandle(), first);
    EXPECT_EQ(key.SetDWORDValue(L"still", 1), ERROR_SUCCESS);

    // Opening relative to the held key works only because the old key is closed after the new one opened.
    ASSERT_EQ(key.Open(first, L"child"), ERROR_SUCCESS);
    EXPECT_NE(key.GetHandle(), first);
    EXPECT_TRUE(IsOpen(key.GetHandle()));
    EXPECT_FALSE(IsOpen(first));
}

TEST(RegKeyOpen, CreateReportsDispositionAndZeroOnFailure)
{
    ScratchRegKey scratch;
    CRegKey key;
    DWORD disposition = 99;
    ASSERT_EQ(key.Create(scratch.Handle(), L"new", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                         &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(key.Create(scratch.Handle(), L"new", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                         &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    HKEY held = key.GetHandle();

    disposition = 99;
    EXPECT_NE(key.Create(nullptr, L"x", nullptr, 0, KEY_ALL_ACCESS, nullptr, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, 0u);
    EXPECT_EQ(key.GetHandle(), held);
}

TEST(RegKeyValues, NumbersAreTypeChecked)
{
    ScratchRegKey scratch;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);

    ASSERT_EQ(key.SetDWORDValue(L"d", 0xA1B2C3D4), ERROR_SUCCESS);
    ASSERT_EQ(key.SetQWORDValue(L"q", 0x0102030405060708ULL), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> raw;
    ASSERT_TRUE(scratch.ReadRaw(L"q", type, raw));
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
    EXPECT_EQ(raw, (std::vector<BYTE>{8, 7, 6, 5, 4, 3, 2, 1}));

    DWORD d = 0;
    ULONGLONG q = 0;
    EXPECT_EQ(key.QueryDWORDValue(L"d", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 0xA1B2C3D4);
    EXPECT_EQ(key.QueryQWORDValue(L"q", q), ERROR_SUCCESS);
    EXPECT_EQ(q, 0x0102030405060708ULL);

    // A QWORD does not fit a DWORD, yet the answer is the type mismatch, not "more data".
    d = 77;
    EXPECT_EQ(key.QueryDWORDValue(L"q", d), ERROR_INVALID_DATA);
    EXPECT_EQ(d, 77u);
    EXPECT_EQ(key.QueryQWORDValue(L"d", q), ERROR_INVALID_DATA);

    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(scratch.WriteRaw(L"longdword", REG_DWORD, eight, sizeof eight));
    EXPECT_EQ(key.QueryDWORDValue(L"longdword", d), ERROR_MORE_DATA);
    EXPECT_EQ(key.QueryDWORDValue(L"absent", d), ERROR_FILE_NOT_FOUND);

    BYTE bin[8] = {};
    ULONG size = sizeof bin;
    EXPECT_EQ(key.QueryBinaryValue(L"d", bin, &size), ERROR_INVALID_DATA);
    EXPECT_EQ(key.SetBinaryValue(L"b", eight, 0), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(key.SetBinaryValue(L"b", eight, 5), ERROR_SUCCESS);
    size = sizeof bin;
    EXPECT_EQ(key.QueryBinaryValue(L"b", bin, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::memcmp(bin, eight, 5), 0);
}

TEST(RegKeyValues, StringsNeedTheirTerminatorAndReportNeededSize)
{
    ScratchRegKey scratch;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    EXPECT_EQ(key.SetStringValue(L"s", nullptr), ERROR_INVALID_DATA);
    ASSERT_EQ(key.SetStringValue(L"s", L"h\u00e9llo"), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> raw;
    ASSERT_TRUE(scratch.ReadRaw(L"s", type, raw));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw.size(), 12u);

    wchar_t buffer[16];
    ULONG chars = 0;
    EXPECT_EQ(key.QueryStringValue(L"s", nullptr, &chars), ERROR_SUCCESS);
    EXPECT_EQ(chars, 6u);
    chars = 5;
    EXPECT_EQ(key.QueryStringValue(L"s", buffer, &chars), ERROR_MORE_DATA);
    EXPECT_EQ(chars, 6u);
    chars = 6;
    EXPECT_EQ(key.QueryStringValue(L"s", buffer, &chars), ERROR_SUCCESS);
    EXPECT_STREQ(buffer, L"h\u00e9llo");

    std::wstring text;
    EXPECT_EQ(key.QueryStringValue(L"s", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"h\u00e9llo");

    // The registry itself adds a forgotten terminator when the next character is one, hence "abcd".
    ASSERT_TRUE(scratch.WriteRaw(L"unterminated", REG_SZ, L"abcd", 6));
    chars = 16;
    EXPECT_EQ(key.QueryStringValue(L"unterminated", buffer, &chars), ERROR_INVALID_DATA);
    EXPECT_EQ(key.QueryStringValue(L"unterminated", text), ERROR_INVALID_DATA);

    ASSERT_TRUE(scratch.WriteRaw(L"empty", REG_SZ, L"", 0));
    buffer[0] = L'x';
    chars = 16;
    EXPECT_EQ(key.QueryStringValue(L"empty", buffer, &chars), ERROR_SUCCESS);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(key.QueryStringValue(L"empty", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"");

    ASSERT_EQ(key.SetStringValue(L"x", L"%TEMP%", REG_EXPAND_SZ), ERROR_SUCCESS);
    EXPECT_EQ(key.QueryStringValue(L"x", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"%TEMP%");
    ASSERT_EQ(key.SetDWORDValue(L"d", 1), ERROR_SUCCESS);
    chars = 16;
    EXPECT_EQ(key.QueryStringValue(L"d", buffer, &chars), ERROR_INVALID_DATA);
}

TEST(RegKeyValues, MultiStringsAreSizedAndChecked)
{
    ScratchRegKey scratch;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);

    DWORD type = 0;
    std::vector<BYTE> raw;
    ASSERT_EQ(key.SetMultiStringValue(L"none", L"\0"), ERROR_SUCCESS);
    ASSERT_TRUE(scratch.ReadRaw(L"none", type, raw));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(raw.size(), 2u);

    const wchar_t list[] = L"a\0bc\0";   // with the literal's own terminator: a, bc, end
    ASSERT_EQ(key.SetMultiStringValue(L"two", list), ERROR_SUCCESS);
    ASSERT_TRUE(scratch.ReadRaw(L"two", type, raw));
    EXPECT_EQ(raw.size(), 12u);

    wchar_t buffer[8];
    ULONG chars = 8;
    ASSERT_EQ(key.QueryMultiStringValue(L"two", buffer, &chars), ERROR_SUCCESS);
    EXPECT_EQ(chars, 6u);
    EXPECT_EQ(std::memcmp(buffer, list, sizeof list), 0);
    chars = 1;
    EXPECT_EQ(key.QueryMultiStringValue(L"two", buffer, &chars), ERROR_INSUFFICIENT_BUFFER);
    chars = 3;
    EXPECT_EQ(key.QueryMultiStringValue(L"two", buffer, &chars), ERROR_MORE_DATA);
    EXPECT_EQ(chars, 6u);

    ASSERT_TRUE(scratch.WriteRaw(L"nolistend", REG_MULTI_SZ, L"ab\0c", 10));   // a b \0 c \0: one terminator short
    chars = 8;
    EXPECT_EQ(key.QueryMultiStringValue(L"nolistend", buffer, &chars), ERROR_INVALID_DATA);
    ASSERT_TRUE(scratch.WriteRaw(L"odd", REG_MULTI_SZ, "a\0\0\0\0", 5));
    chars = 8;
    EXPECT_EQ(key.QueryMultiStringValue(L"odd", buffer, &chars), ERROR_INVALID_DATA);
    ASSERT_TRUE(scratch.WriteRaw(L"sz", REG_SZ, L"a", 4));
    chars = 8;
    EXPECT_EQ(key.QueryMultiStringValue(L"sz", buffer, &chars), ERROR_INVALID_DATA);
}

TEST(RegKeyValues, GuidsRoundTripAndMalformedTextIsRejected)
{
    ScratchRegKey scratch;
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    const GUID id = {0x3A7C91D2, 0x5E04, 0x4B8F, {0xA2, 0xC6, 0x81, 0xF0, 0xD9, 0x3B, 0x7E, 0x15}};
    ASSERT_EQ(key.SetGUIDValue(L"g", id), ERROR_SUCCESS);
    std::wstring text;
    ASSERT_EQ(key.QueryStringValue(L"g", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"{3A7C91D2-5E04-4B8F-A2C6-81F0D93B7E15}");
    GUID read = {};
    EXPECT_EQ(key.QueryGUIDValue(L"g", read), ERROR_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(read, id));

    ASSERT_EQ(key.SetStringValue(L"bare", L"3A7C91D2-5E04-4B8F-A2C6-81F0D93B7E15"), ERROR_SUCCESS);
    EXPECT_EQ(key.QueryGUIDValue(L"bare", read), ERROR_INVALID_DATA);
    EXPECT_TRUE(IsEqualGUID(read, GUID{}));
    ASSERT_EQ(key.SetStringValue(L"bad", L"{not-a-guid}"), ERROR_SUCCESS);
    EXPECT_EQ(key.QueryGUIDValue(L"bad", read), ERROR_INVALID_DATA);
}

TEST(RegKeyHandle, OperationsWithoutAKeyReportInvalidParameter)
{
    CRegKey key;
    DWORD d = 0;
    ULONGLONG q = 0;
    std::wstring text;
    wchar_t buffer[8];
    ULONG chars = 8;
    DWORD size = 8;
    EXPECT_EQ(key.QueryDWORDValue(L"v", d), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryQWORDValue(L"v", q), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryBinaryValue(L"v", buffer, &chars), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.QueryStringValue(L"v", text), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.Flush(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.EnumKey(0, buffer, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.DeleteSubKey(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.RecurseDeleteKey(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.DeleteValue(L"x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.GrantAccess(true), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
}

TEST(RegKeyHandle, HandlesSharingOneImplementationCloseItTogether)
{
    ScratchRegKey scratch;
    auto impl = std::make_shared<CRegKeyImpl>();
    CRegKey first(impl);
    ASSERT_EQ(first.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    {
        CRegKey second(impl);
        EXPECT_EQ(second.GetHandle(), first.GetHandle());
    }
    EXPECT_EQ(first.GetHandle(), nullptr);

    CRegKey fromEmpty{std::shared_ptr<CRegKeyImpl>()};
    EXPECT_EQ(fromEmpty.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
}

TEST(RegKeyHandle, AttachAndDetachNeverCloseAKey)
{
    ScratchRegKey scratch;
    HKEY a = nullptr, b = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, scratch.Path().c_str(), 0, KEY_READ, &a), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, scratch.Path().c_str(), 0, KEY_READ, &b), ERROR_SUCCESS);
    {
        CRegKey key;
        key.Attach(a);
        key.Attach(b);
        EXPECT_TRUE(IsOpen(a));
        EXPECT_EQ(key.Detach(), b);
        EXPECT_EQ(key.GetHandle(), nullptr);
    }
    EXPECT_TRUE(IsOpen(b));
    RegCloseKey(a);
    RegCloseKey(b);
}

TEST(RegKeyHandle, EnumeratesSubKeysAndSignalsChanges)
{
    ScratchRegKey scratch;
    MakeKey(scratch.Handle(), L"only");
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    wchar_t name[32];
    DWORD size = 32;
    EXPECT_EQ(key.EnumKey(0, name, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"only");
    size = 32;
    EXPECT_EQ(key.EnumKey(1, name, &size), ERROR_NO_MORE_ITEMS);

    HANDLE changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(key.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(changed, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(key.SetDWORDValue(L"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(changed, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(changed);

    EXPECT_EQ(key.DeleteValue(L"v"), ERROR_SUCCESS);
    EXPECT_EQ(key.DeleteValue(L"v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.DeleteValue(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.Flush(), ERROR_SUCCESS);
}

TEST(RegKeyDelete, RecurseDeleteRemovesEveryLevel)
{
    ScratchRegKey scratch;
    for (const wchar_t* path : {L"tree\\a\\b\\c\\d", L"tree\\a\\b2", L"tree\\x", L"keep"}) MakeKey(scratch.Handle(), path);
    HKEY deep = nullptr;
    ASSERT_EQ(RegOpenKeyExW(scratch.Handle(), L"tree\\a\\b\\c\\d", 0, KEY_SET_VALUE, &deep), ERROR_SUCCESS);
    DWORD one = 1;
    RegSetValueExW(deep, L"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
    RegCloseKey(deep);

    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, scratch.Path().c_str()), ERROR_SUCCESS);
    EXPECT_EQ(key.DeleteSubKey(nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.RecurseDeleteKey(L"tree"), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, scratch.Path() + L"\\tree"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, scratch.Path() + L"\\keep"));
    EXPECT_EQ(key.RecurseDeleteKey(L"tree"), ERROR_FILE_NOT_FOUND);
}

TEST(RegKeyDelete, KeyOpenedInThe32BitViewDeletesInThatView)
{
    ViewCleanup cleanup{L"Software\\TelvanaTests\\" + TestUtil::UniqueName(L"view")};
    MakeKey(HKEY_LOCAL_MACHINE, cleanup.path + L"\\tree\\leaf", KEY_WOW64_32KEY);
    MakeKey(HKEY_LOCAL_MACHINE, cleanup.path + L"\\tree\\leaf", KEY_WOW64_64KEY);

    // The path from the held root crosses the redirected "Software" node, so only the held view
    // decides which tree goes.
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"", KEY_READ | KEY_WRITE | KEY_WOW64_32KEY), ERROR_SUCCESS);
    EXPECT_EQ(key.RecurseDeleteKey((cleanup.path + L"\\tree").c_str()), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, cleanup.path + L"\\tree", KEY_WOW64_32KEY));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, cleanup.path + L"\\tree\\leaf", KEY_WOW64_64KEY));
}

TEST(RegKeyDelete, DeleteOnCloseRemovesTheTreeOnlyWhenSet)
{
    ScratchRegKey scratch;
    const std::wstring doomed = scratch.Path() + L"\\doomed";
    MakeKey(HKEY_CURRENT_USER, doomed + L"\\child");

    auto impl = std::make_shared<CRegKeyImpl>();
    {
        CRegKey key(impl);
        ASSERT_EQ(key.Open(HKEY_CURRENT_USER, doomed.c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
        EXPECT_EQ(key.Close(), ERROR_SUCCESS);
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, doomed));

        impl->SetDeleteOnClose(true);
        EXPECT_TRUE(impl->GetDeleteOnClose());
        ASSERT_EQ(key.Open(HKEY_CURRENT_USER, doomed.c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
        EXPECT_FALSE(impl->GetDeleteOnClose());   // every open starts without the flag

        impl->SetDeleteOnClose(true);
        HKEY detached = key.Detach();
        EXPECT_FALSE(impl->GetDeleteOnClose());
        RegCloseKey(detached);
        EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, doomed));

        ASSERT_EQ(key.Open(HKEY_CURRENT_USER, doomed.c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
        impl->SetDeleteOnClose(true);
    }   // destruction closes, and so deletes
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, doomed));
    EXPECT_FALSE(impl->GetDeleteOnClose());
}

TEST(RegKeyGrantAccess, EveryoneGetsFullAccessOnTheKeyAndOnlyOptionallyBelow)
{
    ScratchRegKey scratch;
    const std::wstring nonAnsi = L"\u4E2D\u6587";
    for (const std::wstring& path : {std::wstring(L"one\\c\\g"), L"one\\" + nonAnsi, std::wstring(L"two\\c")})
        MakeKey(scratch.Handle(), path);
    const std::wstring base = scratch.Path() + L"\\";
    ASSERT_FALSE(EveryoneHasFullAccess(HKEY_CURRENT_USER, base + L"one\\c"));

    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, (base + L"one").c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(key.GrantAccess(true), ERROR_SUCCESS);
    for (const std::wstring& path : {std::wstring(L"one"), std::wstring(L"one\\c"), std::wstring(L"one\\c\\g"),
                                     L"one\\" + nonAnsi})
        EXPECT_TRUE(EveryoneHasFullAccess(HKEY_CURRENT_USER, base + path)) << TestUtil::Narrow(path);

    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, (base + L"two").c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(key.GrantAccess(false), ERROR_SUCCESS);
    EXPECT_TRUE(EveryoneHasFullAccess(HKEY_CURRENT_USER, base + L"two"));
    EXPECT_FALSE(EveryoneHasFullAccess(HKEY_CURRENT_USER, base + L"two\\c"));
    // A NULL DACL reports less than the whole descriptor that the grant initialises.
    SECURITY_DESCRIPTOR nullDacl;
    InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
    ASSERT_EQ(key.SetKeySecurity(DACL_SECURITY_INFORMATION, &nullDacl), ERROR_SUCCESS);
    CSecurityApiProxy api(&ResolveRecording);
    EXPECT_EQ(Lumetra::internal::GrantEveryoneFullAccess(key.GetHandle(), false, api), ERROR_SUCCESS);
    EXPECT_TRUE(EveryoneHasFullAccess(HKEY_CURRENT_USER, base + L"two"));
    EXPECT_GE(g_smallestInitialised, SIZE_T(SECURITY_DESCRIPTOR_MIN_LENGTH));
}

namespace {

std::vector<std::string> g_resolvedNames;

FARPROC WINAPI ResolveAllButOne(HMODULE module, LPCSTR name)
{
    g_resolvedNames.push_back(name);
    if (std::strcmp(name, "QueryServiceStatusEx") == 0) return nullptr;
    return GetProcAddress(module, name);
}

} // namespace

TEST(SecurityApiProxy, BindsEveryFunctionOfTheSystemAdvapi32)
{
    CSecurityApiProxy api;
    EXPECT_TRUE(api.IsAvailable());
    EXPECT_TRUE(api.Load());
}

TEST(SecurityApiProxy, AnyMissingFunctionMakesGrantAccessFailWithFileNotFound)
{
    ScratchRegKey scratch;
    g_resolvedNames.clear();
    CSecurityApiProxy api(&ResolveAllButOne);
    EXPECT_EQ(Lumetra::internal::GrantEveryoneFullAccess(scratch.Handle(), false, api), ERROR_FILE_NOT_FOUND);
    const std::vector<std::string> expected = {
        "SetEntriesInAclW", "GetFileSecurityW", "SetFileSecurityW", "LookupAccountSidW",
        "GetExplicitEntriesFromAclW", "RegGetKeySecurity", "RegSetKeySecurity", "InitializeSecurityDescriptor",
        "SetSecurityDescriptorDacl", "GetSecurityDescriptorDacl", "AllocateAndInitializeSid", "FreeSid",
        "OpenThreadToken", "GetTokenInformation", "InitializeAcl", "InitializeSid", "GetSidSubAuthority",
        "AddAccessAllowedAce", "GetSecurityInfo", "SetSecurityInfo", "QueryServiceStatusEx", "GetAce", "DeleteAce",
        "EqualSid", "GetAclInformation", "SetSecurityDescriptorControl"};
    EXPECT_EQ(g_resolvedNames, expected);
    EXPECT_FALSE(EveryoneHasFullAccess(HKEY_CURRENT_USER, scratch.Path()));
}
