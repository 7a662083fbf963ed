// The registry-script interpreter on scratch keys: what registering writes and removes, what
// unregistering leaves, and that a faulty script touches nothing.
#include <gtest/gtest.h>

#include "Platform/Registrar.h"
#include "RegRead.h"
#include "TestUtil.h"

namespace {

using PlatformTest::KeyExists;
using PlatformTest::ReadText;
using PlatformTest::ReadValue;

TEST(PlatformRegistrar, ScriptRegistersAndUnregistersWithItsModifiers)
{
    TestUtil::ScratchRegKey scratch;
    const std::wstring at = scratch.Path() + L"\\";
    HKEY root = scratch.Root();
    HKEY made = nullptr;
    for (const wchar_t* key : {L"Keep\\Foreign", L"{Forced}\\Old", L"Gone\\Below"}) {
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, (at + key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr));
        RegCloseKey(made);
    }
    Platform::Registrar registrar;
    registrar.MapRoot(HKEY_CLASSES_ROOT, scratch.Handle());
    registrar.AddReplacement(L"AppId", L"{ID}");
    registrar.AddReplacement(L"MODULE", L"\"C:\\it's\\x.exe\"");
    const std::wstring script =
        L"HKCR\n{\n"
        L"  NoRemove Keep { val Listed = d '0x10'\n   Plain = s 'v' { val Bin = b '0aFF' } }\n"
        L"  ForceRemove {Forced} = s '%APPID%' { val Expand = e '%%SystemRoot%%\\x'  Sub { val N = d '42' } }\n"
        L"  'Quoted ''name''' = s '%Module%'\n"
        L"  Delete Gone\n"
        L"}\n";
    // A journal puts back what registering changed: values, replaced and deleted trees, new keys.
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(root, (at + L"Keep").c_str(), L"Listed", REG_SZ, L"found", 12));
    Platform::RegistryJournal journal;
    registrar.SetJournal(&journal);
    ASSERT_EQ(S_OK, registrar.RegisterScript(script));
    registrar.SetJournal(nullptr);
    EXPECT_EQ(ERROR_SUCCESS, journal.Restore());
    EXPECT_EQ(L"found", ReadText(root, at + L"Keep", L"Listed"));
    EXPECT_EQ(L"<missing>", ReadText(root, at + L"{Forced}", nullptr));
    for (const wchar_t* key : {L"Keep\\Foreign", L"{Forced}\\Old", L"Gone\\Below"})
        EXPECT_TRUE(KeyExists(root, at + key)) << TestUtil::Narrow(key);
    EXPECT_FALSE(KeyExists(root, at + L"Keep\\Plain") || KeyExists(root, at + L"Quoted 'name'"));

    ASSERT_EQ(S_OK, registrar.RegisterScript(script));

    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(ReadValue(root, at + L"Keep", L"Listed", type, data));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(16u, *reinterpret_cast<DWORD*>(data.data()));
    EXPECT_EQ(L"v", ReadText(root, at + L"Keep\\Plain", nullptr));
    ASSERT_TRUE(ReadValue(root, at + L"Keep\\Plain", L"Bin", type, data));
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ((std::vector<BYTE>{0x0a, 0xff}), data);
    EXPECT_EQ(L"{ID}", ReadText(root, at + L"{Forced}", nullptr));
    EXPECT_FALSE(KeyExists(root, at + L"{Forced}\\Old"));
    EXPECT_EQ(L"%SystemRoot%\\x", ReadText(root, at + L"{Forced}", L"Expand", REG_EXPAND_SZ));
    ASSERT_TRUE(ReadValue(root, at + L"{Forced}\\Sub", L"N", type, data));
    EXPECT_EQ(42u, *reinterpret_cast<DWORD*>(data.data()));
    EXPECT_EQ(L"\"C:\\it's\\x.exe\"", ReadText(root, at + L"Quoted 'name'", nullptr));
    EXPECT_FALSE(KeyExists(root, at + L"Gone"));

    ASSERT_EQ(S_OK, registrar.UnregisterScript(script));
    EXPECT_TRUE(KeyExists(root, at + L"Keep\\Foreign"));
    EXPECT_EQ(L"<missing>", ReadText(root, at + L"Keep", L"Listed"));
    EXPECT_FALSE(KeyExists(root, at + L"Keep\\Plain"));
    EXPECT_FALSE(KeyExists(root, at + L"{Forced}"));
    EXPECT_FALSE(KeyExists(root, at + L"Quoted 'name'"));
    // Unregistering what is already gone is no error.
    EXPECT_EQ(S_OK, registrar.UnregisterScript(script));

    const wchar_t* const kFaulty[] = {
        L"HKCR { Never = s '%NOPE%' }",
        L"HKCR { Never = s 'open }",
        L"HKCR { Never { val A = d '1' }",
        L"HKCR { Never { val A = d 'x1' } }",
        L"HKCR { Never { val A = b 'abc' } }",
        L"HKCR { Never { val A = q '1' } }",
        L"HKCR { val A = s 'root' }",
        L"HKXX { Never }",
        L"HKCR { Never } }",
    };
    for (const wchar_t* faulty : kFaulty) {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), registrar.RegisterScript(faulty)) << faulty;
        EXPECT_FALSE(KeyExists(root, at + L"Never")) << faulty;
    }
}

} // namespace
