// The library loader's block list and folder rules, placeholder expansion, path search and the
// file-system wrapper.
#include "ModuleStatus.h"
#include "PathHelpers.h"
#include "dll/SharedLibrary.h"

#include "PluginTestSupport.h"
#include "TestPki.h"
#include "TestUtil.h"

#include "Platform/Handles.h"

#include <gtest/gtest.h>

#include <functional>

using namespace Taliro;
using PluginTest::CountLines;

namespace {

bool Loads(const std::wstring& fileName, const std::vector<std::wstring>& directories)
{
    try {
        SharedLibrary library(LibraryDescription{fileName, directories});
        return library.module() != nullptr && library.importedFunctions().getVersionNum != nullptr;
    } catch (const ModuleException& error) {
        EXPECT_STREQ("Failed to load library", error.what());
        return false;
    }
}

class FixedRegistry : public RegistryAPI {
public:
    unsigned long readString(const std::wstring& key, const std::wstring& name, std::wstring& value) override
    {
        asked.push_back(key + L"|" + name);
        if (answer.empty()) return MODULE_STATUS_UNSUCCESSFUL;
        value = answer;
        return 0;
    }
    std::vector<std::wstring> asked;
    std::wstring answer;
};

class Wow64 : public PathHelpers::OSInfo {
public:
    explicit Wow64(bool wow64) : m_wow64(wow64) {}
    bool IsWow64() override { return m_wow64; }

private:
    bool m_wow64;
};

} // namespace

TEST(SharedLibrary, BlockListTrustAndFolderRules)
{
    PluginTest::MachineState machine;
    const std::wstring renamed = TestPki::SignedFolder() + L"\\quorra_renamed";
    const std::wstring newer = TestPki::SignedFolder() + L"\\quorra_renamed_newer";
    const std::wstring signedBus = TestPki::SignedFolder() + L"\\quorra_signed";
    EXPECT_TRUE(Loads(L"Orvbus.dll", {renamed}));
    ASSERT_TRUE(machine.BlockVersion(L"orvbus.dll", L"1.2.3.4", L"1.2.3.4"));
    EXPECT_FALSE(Loads(L"Orvbus.dll", {renamed}));
    EXPECT_TRUE(Loads(L"ORVBUS.DLL", {newer}));
    ASSERT_TRUE(machine.BlockVersion(L"orvbus.dll", L"1.2.3.4", L"something else"));
    EXPECT_TRUE(Loads(L"Orvbus.dll", {renamed}));
    // The framework's own libraries are exempt in any spelling.
    ASSERT_TRUE(machine.BlockVersion(L"quorra.dll", L"1.2.3.4", L"1.2.3.4"));
    EXPECT_TRUE(Loads(L"QuOrRa.DlL", {signedBus}));

    // Folders with a placeholder that cannot be resolved, or relative ones, are never probed.
    SetCurrentDirectoryW(signedBus.c_str());
    EXPECT_TRUE(Loads(L"Quorra.dll", {L"$(No.Such)", L"relative", L".", signedBus}));
    EXPECT_FALSE(Loads(L"Quorra.dll", {L"$(No.Such)", L"."}));
    const std::wstring log = PluginTest::ProcessLog();
    EXPECT_EQ(2u, CountLines(log, L"Failed to resolve file path, $(No.Such), for library: Quorra.dll."));
    EXPECT_EQ(1u, CountLines(log, L"Failed to find valid path for library: Quorra.dll."));
    EXPECT_EQ(0u, CountLines(log, L"Entering checkIfExists for $(No.Such)"));
    EXPECT_EQ(0u, CountLines(log, L"Entering checkIfExists for .\\"));
    EXPECT_EQ(1u, CountLines(log, L"Blocked library: " + renamed + L"\\Orvbus.dll."));
    EXPECT_EQ(1u, CountLines(log, L"Failed to load library: Orvbus.dll. Throwing ModuleException."));
    EXPECT_GT(CountLines(log, L"Loading Orvbus.dll from " + renamed + L"."), 0u);

    // Loading goes through the trust check; the wrapper answers it too.
    DllAPI dll;
    HMODULE module = nullptr;
    EXPECT_FALSE(dll.loadLibrary(TestPki::SignedFolder() + L"\\quorra_unsigned\\Quorra.dll", &module));
    EXPECT_FALSE(dll.isTrusted(TestPki::SignedFolder() + L"\\quorra_other_publisher\\Quorra.dll"));
    EXPECT_TRUE(dll.isTrusted(signedBus + L"\\Quorra.dll"));
    EXPECT_FALSE(dll.isTrusted(L""));
    DllLoader loader;
    EXPECT_FALSE(loader.loadDLL(signedBus + L"\\Quorra.dll", nullptr));
    EXPECT_EQ(nullptr, loader.getProcAddress(GetModuleHandleW(nullptr), "NoSuchExport"));
    EXPECT_GT(CountLines(PluginTest::ProcessLog(), L"LoadLibrary Failed. GLE: 5"), 0u);
}

TEST(SharedLibrary, ForwardSlashAndExtendedFoldersAreSearchedAndLoaded)
{
    PluginTest::MachineState machine;
    std::wstring slashed = TestPki::SignedFolder() + L"\\quorra_signed";
    for (wchar_t& c : slashed)
        if (c == L'\\') c = L'/';
    EXPECT_TRUE(Loads(L"Quorra.dll", {slashed}));
    EXPECT_TRUE(Loads(L"Quorra.dll", {L"\\\\?\\" + TestPki::SignedFolder() + L"\\quorra_signed"}));
}

TEST(PathHelpers, PlaceholdersResolveOrTheTextStaysAsItWas)
{
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring path = exe;
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    const std::wstring binary = path.substr(folder.size());

    auto registry = std::make_shared<FixedRegistry>();
    PathHelpers native(nullptr, std::make_shared<Wow64>(false), registry);
    std::wstring text = L"$(App.Folder)Quorra.dll|$(App.Binary)|$(App.Name)|$(App.Path)";
    ASSERT_TRUE(native.resolve(text));
    EXPECT_EQ(folder + L"Quorra.dll|" + binary + L"|module_plugin_tests|" + path, text);

    for (std::wstring unresolved : {L"$(Unknown.Token)", L"$(A)$(App.Name)", L"$(Tessel.InstallDir)"}) {
        const std::wstring before = unresolved;
        EXPECT_FALSE(native.resolve(unresolved));
        EXPECT_EQ(before, unresolved);
    }
    registry->answer = L"C:\\Tessel";
    text = L"$(Tessel.InstallDir)";
    EXPECT_TRUE(native.resolve(text));
    EXPECT_EQ(L"C:\\Tessel", text);
    PathHelpers wow64(nullptr, std::make_shared<Wow64>(true), registry);
    text = L"$(Tessel.InstallDir) $(OS.Platform)";
    EXPECT_TRUE(wow64.resolve(text));
    EXPECT_EQ(L"C:\\Tessel x64", text);
    EXPECT_EQ(L"SOFTWARE\\ORVANE\\TESK|Install Dir", registry->asked.front());
    EXPECT_EQ(L"SOFTWARE\\ORVANE\\TESK|Install Dir32", registry->asked.back());
    text = L"$(FOLDERID_ProgramData)";
    EXPECT_TRUE(native.resolve(text));
    EXPECT_EQ(L"C:\\ProgramData", text);
    // The real registry wrapper: a key that is not there.
    std::wstring value;
    DWORD number = 0;
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, RegistryAPI().readString(L"SOFTWARE\\No\\Such\\Key", L"v", value));
    EXPECT_EQ(MODULE_STATUS_UNSUCCESSFUL, RegistryAPI().readDWORD(L"SOFTWARE\\No\\Such\\Key", L"v", number));
}

TEST(PathSearch, FirstFolderThatHoldsTheFileAndTheFileSystemWrapper)
{
    TestUtil::ScratchDir a, b;
    ASSERT_TRUE(TestUtil::WriteFileBytes(a.File(L"f.dll"), "a"));
    ASSERT_TRUE(TestUtil::WriteFileBytes(b.File(L"f.dll"), "b"));
    CreateDirectoryW(a.File(L"g.dll").c_str(), nullptr);
    ASSERT_TRUE(TestUtil::WriteFileBytes(b.File(L"g.dll"), "b"));
    PathSearch search;
    search.append(a.Path());
    search.append(std::vector<std::wstring>{b.Path()});
    search.append(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ((std::vector<std::wstring>{a.Path(), b.Path()}), search.directories());
    std::wstring found;
    EXPECT_TRUE(search.findFilePath(L"f.dll", found));
    EXPECT_EQ(a.Path(), found);
    EXPECT_TRUE(search.findFilePath(L"g.dll", found));
    EXPECT_EQ(b.Path(), found);
    EXPECT_FALSE(search.findFilePath(L"h.dll", found));
    EXPECT_GT(CountLines(PluginTest::ProcessLog(), L"File not found."), 0u);

    PathAPI files;
    EXPECT_TRUE(files.fileExists(a.File(L"f.dll")));
    EXPECT_FALSE(files.fileExists(a.File(L"g.dll")));
    EXPECT_TRUE(files.directoryExists(a.File(L"g.dll")));
    EXPECT_TRUE(files.isRegularFile(a.File(L"f.dll")));
    EXPECT_FALSE(files.isRegularFile(a.File(L"g.dll")));
    std::wstring text;
    EXPECT_TRUE(files.writeTextFile(a.File(L"t.txt"), L"line\xE9"));
    EXPECT_FALSE(files.writeTextFile(a.File(L"u.txt"), L"\x4E2D"));
    EXPECT_TRUE(files.readTextFile(a.File(L"t.txt"), text));
    EXPECT_EQ(L"line\xE9", text);
    EXPECT_FALSE(files.readTextFile(a.File(L"none.txt"), text));
    ASSERT_TRUE(files.createDirectory(a.File(L"g.dll\\deep\\er")));
    ASSERT_TRUE(TestUtil::WriteFileBytes(a.File(L"g.dll\\deep\\er\\x.txt"), "x"));
    SetFileAttributesW(a.File(L"g.dll\\deep\\er\\x.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(files.deleteFiles(L"nobackslash*", true));
    EXPECT_FALSE(files.deleteDirectory(L".."));
    EXPECT_TRUE(files.deleteFiles((a.Path() + L"\\*.txt").c_str(), false));
    EXPECT_FALSE(files.fileExists(a.File(L"t.txt")));
    EXPECT_TRUE(files.fileExists(a.File(L"f.dll")));
    EXPECT_TRUE(files.deleteDirectory(a.File(L"g.dll").c_str()));
    EXPECT_FALSE(files.directoryExists(a.File(L"g.dll")));
    EXPECT_STREQ(L"f.dll", files.findFileName(a.File(L"f.dll").c_str()));
}

namespace {

bool IsLink(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Wine's name of the file on the host; empty on Windows.
std::wstring HostName(const std::wstring& path)
{
    using Fn = char*(CDECL*)(LPCWSTR);
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = fn ? fn(path.c_str()) : nullptr;
    if (!name) return {};
    const std::wstring text = TestUtil::Widen(name);
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// Wine starts a host program but gives no handle to wait on: its effect is polled.
bool RunHostTool(std::wstring commandLine, const std::function<bool()>& done)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    Platform::ProcessHandle processHandle(process.hProcess);
    Platform::ThreadHandle threadHandle(process.hThread);
    for (int i = 0; i < 100 && !done(); ++i) Sleep(50);
    return done();
}

// Wine 8's CreateSymbolicLinkW answers TRUE and makes nothing, and FSCTL_SET_REPARSE_POINT fails
// with 50; it shows a host symbolic link to a directory as a directory reparse point, though.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target)
{
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        IsLink(link))
        return true;
    const std::wstring hostLink = HostName(link), hostTarget = HostName(target);
    return !hostLink.empty() && !hostTarget.empty() &&
           RunHostTool(L"Z:\\bin\\ln -s \"" + hostTarget + L"\" \"" + hostLink + L"\"", [&] { return IsLink(link); });
}

// Wine's RemoveDirectoryW follows a host link (145 or a removed target), so the host removes it.
void RemoveDirectoryLink(const std::wstring& link)
{
    if (!IsLink(link)) return;
    const std::wstring hostLink = HostName(link);
    if (hostLink.empty())
        RemoveDirectoryW(link.c_str());
    else
        RunHostTool(L"Z:\\bin\\rm \"" + hostLink + L"\"", [&] { return !IsLink(link); });
}

} // namespace

TEST(PathAPI, DeletingALinkedFolderNeverEmptiesItsTarget)
{
    TestUtil::ScratchDir scratch;
    const std::wstring target = scratch.File(L"target"), link = scratch.File(L"link");
    const std::wstring holder = scratch.File(L"holder"), inner = holder + L"\\inner";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(holder.c_str(), nullptr));
    ASSERT_TRUE(TestUtil::WriteFileBytes(target + L"\\keep.txt", "keep"));
    ASSERT_TRUE(MakeDirectoryLink(link, target));
    ASSERT_TRUE(MakeDirectoryLink(inner, target));

    PathAPI files;
    // The link named itself, also with a trailing backslash, and a link inside a folder.
    for (const std::wstring& path : {link + L"\\", link, holder}) {
        const bool removed = files.deleteDirectory(path.c_str());
        EXPECT_EQ("keep", TestUtil::ReadFileBytes(target + L"\\keep.txt")) << TestUtil::Narrow(path);
        // Success only when the link is gone (Wine cannot remove a host link: then false).
        EXPECT_EQ(removed, !IsLink(path == holder ? inner : link)) << TestUtil::Narrow(path);
    }
    // An empty target is no less kept.
    const std::wstring bare = scratch.File(L"bare"), bareLink = scratch.File(L"bareLink");
    ASSERT_TRUE(CreateDirectoryW(bare.c_str(), nullptr));
    ASSERT_TRUE(MakeDirectoryLink(bareLink, bare));
    EXPECT_EQ(files.deleteDirectory(bareLink.c_str()), !IsLink(bareLink));
    EXPECT_TRUE(files.directoryExists(bare));

    for (const std::wstring& each : {link, inner, bareLink}) {
        RemoveDirectoryLink(each);
        EXPECT_FALSE(IsLink(each));
    }
}

TEST(SharedLibrary, AnInjectedVersionReaderIsReadOnEveryUse)
{
    PluginTest::MachineState machine;
    const std::wstring renamed = TestPki::SignedFolder() + L"\\quorra_renamed";
    // One reader for every check of both libraries, as a caller may hand it in.
    auto reader = std::make_shared<Lumetra::FileVersionInfo>();
    SharedLibrary library(LibraryDescription{L"Orvbus.dll", {renamed}}, nullptr, nullptr, nullptr, nullptr, reader);
    ASSERT_TRUE(machine.BlockVersion(L"orvbus.dll", L"1.2.3.4", L"1.2.3.4"));
    EXPECT_TRUE(library.isBlocked(renamed, L"Orvbus.dll"));
    EXPECT_TRUE(library.isBlocked(renamed, L"ORVBUS.DLL"));
    EXPECT_THROW(SharedLibrary(LibraryDescription{L"Orvbus.dll", {renamed}}, nullptr, nullptr, nullptr, nullptr, reader),
                 ModuleException);
}
