#include "Lumetra/FileVersionInfo.h"

#include "TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cwctype>

using namespace Lumetra;
using ::testing::_;
using ::testing::Return;

namespace {

class MockShell : public ShlObjAPI {
public:
    MOCK_METHOD(HRESULT, GetKnownFolderPath, (REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*), (override));
};

std::wstring SystemFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\";
}

std::wstring Lower(std::wstring s)
{
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

// What the shell hands out: a CoTaskMemAlloc'd copy.
PWSTR ShellString(const std::wstring& text)
{
    auto* p = static_cast<PWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    wcscpy(p, text.c_str());
    return p;
}

} // namespace

TEST(FileVersionInfo, ReadsKernel32AndLoadsOnlyOnce)
{
    FileVersionInfo info;
    EXPECT_EQ(info.QueryString(L"ProductVersion"), L"");

    ASSERT_TRUE(info.Load(SystemFolder() + L"kernel32.dll"));
    EXPECT_EQ(info.QueryString(L"ProductVersion"), L"10.0.18362.1350");
    EXPECT_EQ(Lower(info.QueryString(L"OriginalFilename")), L"kernel32.dll");
    EXPECT_EQ(info.QueryString(L"NoSuchValue"), L"");

    EXPECT_FALSE(info.Load(SystemFolder() + L"advapi32.dll"));
    EXPECT_EQ(Lower(info.QueryString(L"OriginalFilename")), L"kernel32.dll");
}

TEST(FileVersionInfo, FileWithoutVersionResource)
{
    TestUtil::ScratchDir dir;
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"plain.dll"), "not a PE file"));
    FileVersionInfo info;
    EXPECT_FALSE(info.Load(dir.File(L"plain.dll")));
    EXPECT_FALSE(info.Load(dir.File(L"missing.dll")));
    EXPECT_EQ(info.QueryString(L"ProductVersion"), L"");
    // Failed attempts do not count as the one load.
    EXPECT_TRUE(info.Load(SystemFolder() + L"kernel32.dll"));
}

TEST(SystemFileVersionInfo, DefaultShellFindsTheSystemFolder)
{
    SystemFileVersionInfo info;
    EXPECT_EQ(Lower(info.GetSystemFolder()), Lower(SystemFolder()));
    ASSERT_TRUE(info.Load(L"kernel32.dll"));
    EXPECT_EQ(info.QueryString(L"ProductVersion"), L"10.0.18362.1350");
    EXPECT_FALSE(info.Load(L"kernel32.dll"));
}

TEST(SystemFileVersionInfo, FolderIsAskedForOnceAndCached)
{
    auto shell = std::make_shared<MockShell>();
    EXPECT_CALL(*shell, GetKnownFolderPath(_, 0u, nullptr, _))
        .WillOnce([](REFKNOWNFOLDERID id, DWORD, HANDLE, PWSTR* path) {
            EXPECT_TRUE(IsEqualGUID(id, FOLDERID_System));
            *path = ShellString(L"C:\\windows\\system32");
            return S_OK;
        });
    SystemFileVersionInfo info(shell);
    EXPECT_EQ(info.GetSystemFolder(), L"C:\\windows\\system32\\");
    EXPECT_EQ(info.GetSystemFolder(), L"C:\\windows\\system32\\");
    EXPECT_TRUE(info.Load(L"kernel32.dll"));
}

TEST(SystemFileVersionInfo, UnknownFolderIsTheRootAndAskedAgain)
{
    auto shell = std::make_shared<MockShell>();
    EXPECT_CALL(*shell, GetKnownFolderPath(_, _, _, _))
        .WillOnce(Return(E_FAIL))
        .WillOnce([](REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) {
            *path = nullptr;
            return S_OK;
        })
        .WillOnce(Return(E_FAIL));
    SystemFileVersionInfo info(shell);
    EXPECT_EQ(info.GetSystemFolder(), L"\\");
    EXPECT_EQ(info.GetSystemFolder(), L"\\");
    // kernel32.dll is not in the drive's root.
    EXPECT_FALSE(info.Load(L"kernel32.dll"));
}
