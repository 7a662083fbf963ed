#include "Lumetra/SecureDll.h"
#include "Lumetra/TrustedLoad.h"

#include "TestPki.h"
#include "TestUtil.h"
#include "TrustTestState.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

using namespace Lumetra;

namespace {

std::wstring SystemFile(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path) + L"\\" + name;
}

std::wstring ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

} // namespace

TEST(SecureDll, InitRestrictsTheSearchPath)
{
    EXPECT_TRUE(InitSecureDllLoading());
}

TEST(SecureDll, FullPathRefusesIncompletePathsWithoutTryingThem)
{
    // None is tried: most would load as they stand, and the rest name no share or drive.
    const std::wstring noExtension = SystemFile(L"kernel32");
    const std::wstring noDrive = SystemFile(L"kernel32.dll").substr(2);
    const std::wstring driveRelative = SystemFile(L"kernel32.dll").substr(0, 2) + noDrive.substr(1);
    for (const std::wstring& path : {std::wstring(L"kernel32.dll"), noExtension, noDrive, std::wstring(L"C:kernel32.dll"),
                                     std::wstring(L"\\\\?\\UNC\\host\\x.dll"), L"\\\\?\\" + noDrive.substr(1),
                                     driveRelative, L"\\\\?\\" + driveRelative}) {
        SetLastError(12345);
        EXPECT_EQ(LoadLibraryFullPath(path.c_str()), nullptr) << TestUtil::Narrow(path);
        EXPECT_EQ(GetLastError(), 12345u) << TestUtil::Narrow(path);
    }
    EXPECT_EQ(LoadLibraryFullPath(nullptr), nullptr);
    // A part longer than the split allows.
    const std::wstring longDir = L"C:\\" + std::wstring(300, L'd') + L"\\x.dll";
    EXPECT_EQ(LoadLibraryFullPath(longDir.c_str()), nullptr);
}

TEST(SecureDll, FullPathLoadsACompletePath)
{
    HMODULE module = LoadLibraryFullPath(SystemFile(L"kernel32.dll").c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module, GetModuleHandleW(L"kernel32.dll"));
    FreeLibrary(module);

    // The extended form loads too; a share's path is tried (none is served: the loader's error shows it).
    EXPECT_TRUE(FreeLibrary(LoadLibraryFullPath((L"\\\\?\\" + SystemFile(L"kernel32.dll")).c_str())));
    for (const wchar_t* share : {L"\\\\host\\share\\x.dll", L"\\\\?\\unc\\host\\share\\dir\\x.dll"}) {
        SetLastError(12345);
        EXPECT_EQ(LoadLibraryFullPath(share), nullptr);
        EXPECT_NE(GetLastError(), 12345u) << TestUtil::Narrow(share);
    }
    // The loader's own failure passes through with its error.
    TestUtil::ScratchDir dir;
    EXPECT_EQ(LoadLibraryFullPath(dir.File(L"missing.dll").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // Flags reach the loader: the test executable opens as a data file.
    HMODULE data = LoadLibraryFullPath(ModulePath(nullptr).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(data, nullptr);
    if (data) FreeLibrary(data);
}

TEST(SecureDll, SystemDirectoryIgnoresTheGivenFolder)
{
    HMODULE module = LoadLibraryFromSystemDirectory(L"C:\\elsewhere\\advapi32.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(_wcsicmp(ModulePath(module).c_str(), SystemFile(L"advapi32.dll").c_str()), 0)
        << TestUtil::Narrow(ModulePath(module));
    FreeLibrary(module);

    // A file that exists only outside the system folder is not found there.
    TestUtil::ScratchDir dir;
    const std::wstring name = TestUtil::UniqueName(L"lumetra_") + L".dll";
    ASSERT_TRUE(CopyFileW(ModulePath(nullptr).c_str(), dir.File(name).c_str(), FALSE));
    EXPECT_EQ(LoadLibraryFromSystemDirectory(dir.File(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    HMODULE outside = LoadLibraryFullPath(dir.File(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(outside, nullptr);
    if (outside) FreeLibrary(outside);

    // The altered search order is never passed on: together with a search flag the loader
    // itself refuses it (87).
    const DWORD flags = LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_SEARCH_SYSTEM32;
    EXPECT_EQ(LoadLibraryExW(SystemFile(L"version.dll").c_str(), nullptr, flags), nullptr);
    module = LoadLibraryFromSystemDirectory(L"version.dll", nullptr, flags);
    EXPECT_NE(module, nullptr);
    if (module) FreeLibrary(module);
    EXPECT_EQ(LoadLibraryFromSystemDirectory(nullptr), nullptr);
}

TEST(SecureDll, SystemDirectoryRefusesANameWithoutFileName)
{
    // "system32" + ".dll" would name a file beside the system folder, not in it: refused
    // without a load attempt, so the last error stays as it was.
    for (const wchar_t* name : {L"C:\\x\\.dll", L".dll"}) {
        SetLastError(0xDEAD);
        EXPECT_EQ(LoadLibraryFromSystemDirectory(name, nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
        EXPECT_EQ(GetLastError(), 0xDEADu);
    }
}

TEST(SecureDll, CoTaskMemFreeAndClear)
{
    wchar_t* text = static_cast<wchar_t*>(CoTaskMemAlloc(16));
    ASSERT_NE(text, nullptr);
    CoTaskMemFreeAndClear(text);
    EXPECT_EQ(text, nullptr);
    CoTaskMemFreeAndClear(text);
    EXPECT_EQ(text, nullptr);
}

TEST(SecureDll, OverlongNamesAreRefusedWithoutALoadAttempt)
{
    const std::wstring longFolder = L"C:\\" + std::wstring(300, L'd') + L"\\name.dll";
    const std::wstring longFile = L"C:\\dir\\" + std::wstring(258, L'f') + L".dll";
    for (const std::wstring& path : {longFolder, longFile}) {
        SetLastError(0xBEEF);
        EXPECT_EQ(LoadLibraryFullPath(path.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), 0xBEEFu);
        SetLastError(0xBEEF);
        EXPECT_EQ(LoadLibraryFromSystemDirectory(path.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), 0xBEEFu);
    }
}

TEST(TrustedLoad, HeldFromCheckToLoadAtAnyAbsolutePathAndNeverByRelativeName)
{
    InstalledListState trustState;
    ASSERT_TRUE(TestPki::TrustTestRoot());
    TestUtil::ScratchDir dir;
    std::wstring deep = L"\\\\?\\" + dir.Path();
    while (deep.size() <= MAX_PATH + 4)
        ASSERT_TRUE(CreateDirectoryW((deep += L"\\" + std::wstring(40, L'd')).c_str(), nullptr));
    const std::wstring file = deep + L"\\trusted.dll", other = deep + L"\\other.dll";
    ASSERT_TRUE(CopyFileW(TestPki::SignedFile(L"sample_trusted.dll").c_str(), file.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(TestPki::SignedFile(L"sample_unsigned.dll").c_str(), other.c_str(), FALSE));
    // Another handle that may write: not held, so refused with the sharing error, not as untrusted.
    HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(nullptr, LoadTrustedLibrary(file.c_str(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    CloseHandle(writer);
    // Inside the check nothing takes the held file's place.
    std::wstring checked, slashed = file.substr(4);
    const TrustCheck tamper = [&](const wchar_t* own) {
        EXPECT_FALSE(MoveFileExW(other.c_str(), own, MOVEFILE_REPLACE_EXISTING) ||
                     MoveFileExW(own, ((checked = own) + L"~").c_str(), 0));
        return CheckFileTrust(own);
    };
    for (wchar_t& c : slashed) c = c == L'\\' ? L'/' : c;
    for (const std::wstring& path : {file, file.substr(4), L"//?/" + slashed, L"\\\\.\\" + file.substr(4)}) {
        HMODULE module = LoadTrustedLibrary(path.c_str(), 0, tamper);
        EXPECT_NE(nullptr, module ? GetProcAddress(module, "TrustSampleValue") : nullptr) << GetLastError();
        EXPECT_EQ(module, GetModuleHandleW(checked.c_str())) << TestUtil::Narrow(path);
        if (module) FreeLibrary(module);
    }
    EXPECT_EQ(file, internal::TrustedLoadFullPath((L"\\\\.\\" + file.substr(4)).c_str()));
    // A host link switched after the check still maps the file checked; one to a bare name is refused.
    const std::wstring link = dir.File(L"link.dll");
    for (const wchar_t* name : {L"signed.dll", L"signed"})
        ASSERT_TRUE(CopyFileW(file.c_str(), dir.File(name).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(other.c_str(), dir.File(L"unsigned.dll").c_str(), FALSE));
    auto relink = [&](const std::wstring& to) {
        TestUtil::RunCommand(L"Z:\\bin\\ln -sfn " + to + L" link.dll", 0, dir.Path().c_str());
        for (int i = 0; i < 100 && TestUtil::ReadFileBytes(link) != TestUtil::ReadFileBytes(dir.File(to)); ++i) Sleep(50);
        return TestUtil::ReadFileBytes(link) == TestUtil::ReadFileBytes(dir.File(to));
    };
    ASSERT_TRUE(relink(L"signed.dll"));
    HMODULE linked = LoadTrustedLibrary(link.c_str(), 0, [&](const wchar_t* own) {
        const DWORD verdict = CheckFileTrust(own);
        return relink(L"unsigned.dll") ? verdict : ERROR_CANCELLED;
    });
    EXPECT_TRUE(linked && linked == GetModuleHandleW(dir.File(L"signed.dll").c_str()));
    if (linked) FreeLibrary(linked);
    ASSERT_TRUE(relink(L"signed"));
    EXPECT_EQ(nullptr, LoadTrustedLibrary(link.c_str(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // Without an extension the loader would map trusted.dll, not the file checked.
    const std::wstring bare = deep + L"\\trusted";
    ASSERT_TRUE(CopyFileW(file.c_str(), bare.c_str(), FALSE));
    for (const wchar_t* name : {L"trusted.dll", L"C:trusted.dll", L"\\trusted.dll", L"", bare.c_str()}) {
        EXPECT_EQ(nullptr, LoadTrustedLibrary(name, 0)) << TestUtil::Narrow(name);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    TestUtil::RemoveTree(L"\\\\?\\" + dir.Path());
}
