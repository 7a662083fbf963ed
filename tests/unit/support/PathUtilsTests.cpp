#include "Lumetra/PathUtils.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace Lumetra;
using TestUtil::ScratchDir;

namespace {

// Runs a test body with the current directory set to a folder, restoring it afterwards.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& path)
    {
        GetCurrentDirectoryW(MAX_PATH, m_saved);
        SetCurrentDirectoryW(path.c_str());
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(m_saved); }

private:
    wchar_t m_saved[MAX_PATH] = {};
};

std::wstring ExePath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

} // namespace

TEST(PathUtils, ModuleFolderWithAndWithoutBackslash)
{
    const std::wstring exe = ExePath();
    const std::wstring folder = exe.substr(0, exe.rfind(L'\\'));

    std::wstring got;
    ASSERT_TRUE(GetModuleFolder(got, true));
    EXPECT_EQ(got, folder + L"\\");
    ASSERT_TRUE(GetModuleFolder(got, false));
    EXPECT_EQ(got, folder);
}

TEST(PathUtils, SplitModuleFileName)
{
    std::wstring folder, name;
    ASSERT_TRUE(SplitModuleFileName(nullptr, folder, false, name));
    EXPECT_EQ(folder + L"\\" + name, ExePath());
    EXPECT_EQ(name.find(L'\\'), std::wstring::npos);
    EXPECT_EQ(name.substr(name.size() - 4), L".exe");

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_TRUE(SplitModuleFileName(GetModuleHandleW(L"kernel32.dll"), folder, true, name));
    EXPECT_EQ(_wcsicmp(name.c_str(), L"kernel32.dll"), 0) << TestUtil::Narrow(name);
    EXPECT_EQ(_wcsicmp(folder.c_str(), (std::wstring(system) + L"\\").c_str()), 0) << TestUtil::Narrow(folder);

    // A handle that is no module.
    EXPECT_FALSE(SplitModuleFileName(reinterpret_cast<HMODULE>(0x10), folder, true, name));
}

TEST(PathUtils, DirectoryExists)
{
    ScratchDir dir;
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"file.txt"), "x"));
    EXPECT_TRUE(DirectoryExists(dir.Path().c_str()));
    EXPECT_FALSE(DirectoryExists(dir.File(L"file.txt").c_str()));
    EXPECT_FALSE(DirectoryExists(dir.File(L"missing").c_str()));
    EXPECT_FALSE(DirectoryExists(L""));
    EXPECT_FALSE(DirectoryExists(nullptr));
}

TEST(PathUtils, CreateDirectoryPathOfExistingAndNewFolders)
{
    ScratchDir dir;
    DWORD error = 0xFFFF;
    EXPECT_TRUE(CreateDirectoryPath(dir.Path().c_str(), &error));
    EXPECT_EQ(error, 183u);

    const std::wstring deep = dir.File(L"a\\b\\c");
    EXPECT_TRUE(CreateDirectoryPath(deep.c_str(), &error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(DirectoryExists(deep.c_str()));

    // A trailing backslash names the same folder.
    EXPECT_TRUE(CreateDirectoryPath((dir.File(L"d\\e") + L"\\").c_str(), &error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(DirectoryExists(dir.File(L"d\\e").c_str()));

    EXPECT_TRUE(CreateDirectoryPath(dir.File(L"no_error_out").c_str(), nullptr));
    EXPECT_TRUE(DirectoryExists(dir.File(L"no_error_out").c_str()));
    std::wstring slashed = dir.File(L"f\\g");   // forward slashes separate
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    EXPECT_TRUE(CreateDirectoryPath(slashed.c_str(), &error));
    EXPECT_TRUE(DirectoryExists(dir.File(L"f\\g").c_str()));
}

TEST(PathUtils, CreateDirectoryPathRelativeToCurrentDirectory)
{
    ScratchDir dir;
    CurrentDirectory cd(dir.Path());
    DWORD error = 0xFFFF;
    EXPECT_TRUE(CreateDirectoryPath(L"one\\two", &error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(DirectoryExists(dir.File(L"one").c_str()));
    EXPECT_TRUE(DirectoryExists(dir.File(L"one\\two").c_str()));

    EXPECT_TRUE(CreateDirectoryPath(L"single", &error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(DirectoryExists(dir.File(L"single").c_str()));
    EXPECT_TRUE(CreateDirectoryPath((dir.Path().substr(0, 2) + L"drive_relative").c_str(), &error));
    EXPECT_TRUE(DirectoryExists(dir.File(L"drive_relative").c_str()));
}

TEST(PathUtils, CreateDirectoryPathWithLeadingBackslashUsesCurrentDrive)
{
    ScratchDir dir;
    ASSERT_EQ(dir.Path()[1], L':');
    CurrentDirectory cd(dir.Path());
    const std::wstring noDrive = dir.Path().substr(2) + L"\\x\\y"; // "\users\...\x\y"
    DWORD error = 0xFFFF;
    EXPECT_TRUE(CreateDirectoryPath(noDrive.c_str(), &error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(DirectoryExists(dir.File(L"x\\y").c_str()));
}

TEST(PathUtils, CreateDirectoryPathFailures)
{
    ScratchDir dir;
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"file"), "x"));
    DWORD error = 0;

    // A parent that is a file.
    EXPECT_FALSE(CreateDirectoryPath(dir.File(L"file\\sub").c_str(), &error));
    EXPECT_EQ(error, 82u);
    // The path itself is a file: no directory exists there afterwards, so no success either.
    EXPECT_FALSE(CreateDirectoryPath(dir.File(L"file").c_str(), &error));
    EXPECT_EQ(error, 82u);

    // A UNC path is made on its server or not at all, never under the current drive.
    CurrentDirectory cd(dir.Path());
    const std::wstring server = TestUtil::UniqueName(L"noserver");
    EXPECT_FALSE(CreateDirectoryPath((L"\\\\" + server + L"\\share\\dir").c_str(), &error));
    EXPECT_FALSE(DirectoryExists((L"\\" + server).c_str()));

    // Taken literally, "\\?\...\x1\..\x2" names no folder: refused before x1 is made.
    EXPECT_FALSE(CreateDirectoryPath((L"\\\\?\\" + dir.File(L"x1\\..\\x2")).c_str(), &error));
    EXPECT_EQ(error, 82u);
    EXPECT_FALSE(DirectoryExists(dir.File(L"x1").c_str()));
    EXPECT_FALSE(CreateDirectoryPath(L"", &error));
    EXPECT_EQ(error, 87u);
    EXPECT_FALSE(CreateDirectoryPath(nullptr, &error));
    EXPECT_EQ(error, 87u);

    // Too long to be created whole: nothing is created under a cut name.
    const std::wstring longName(300 - dir.Path().size(), L'n');
    EXPECT_FALSE(CreateDirectoryPath(dir.File(longName).c_str(), &error));
    EXPECT_EQ(error, 206u);
    EXPECT_FALSE(DirectoryExists(dir.File(longName.substr(0, 259 - dir.Path().size() - 1)).c_str()));
}

TEST(PathUtils, PlainFormOnlyOfExtendedDriveAndUncPaths)
{
    EXPECT_EQ(PlainPath(L"\\\\?\\unc\\s\\sh\\x"), L"\\\\s\\sh\\x");
    EXPECT_EQ(PlainPath(L"\\\\?\\Volume{0}\\x"), L"\\\\?\\Volume{0}\\x");
}
