#include "Lumetra/CommonReplacements.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include <objbase.h>
#include <shlobj.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "TestUtil.h"

using namespace Lumetra;
using ::testing::_;
using ::testing::Eq;
using ::testing::IsNull;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::StrictMock;

namespace {

using Stats = std::pair<unsigned long long, unsigned long long>;

class MockShell : public ShlObjAPI {
public:
    MOCK_METHOD(HRESULT, GetKnownFolderPath, (REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*), (override));
};

class MockOSInfo : public CommonReplacements::OSInfo {
public:
    MOCK_METHOD(DWORD, GetOSFlag, (), (override));
};

// An action that hands out a CoTaskMemAlloc'd copy of `path`, as the shell does.
auto GivePath(const std::wstring& path)
{
    return [path](REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* out) {
        size_t bytes = (path.size() + 1) * sizeof(wchar_t);
        *out = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
        std::memcpy(*out, path.c_str(), bytes);
        return S_OK;
    };
}

std::wstring ModulePath()
{
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

// The executable's file name without extension, cut by hand from the module path.
std::wstring ExecutableName()
{
    std::wstring path = ModulePath();
    std::wstring file = path.substr(path.rfind(L'\\') + 1);
    return file.substr(0, file.rfind(L'.'));
}

std::wstring Expand(CommonReplacements& r, std::wstring text)
{
    EXPECT_TRUE(r.Replace(text));
    return text;
}

} // namespace

// Texts whose shape decides what counts as a placeholder; no provider is asked for anything else.
TEST(CommonReplacements, PlaceholderSyntax)
{
    auto shell = std::make_shared<StrictMock<MockShell>>();
    auto os = std::make_shared<StrictMock<MockOSInfo>>();
    CommonReplacements r(shell, os);
    const std::wstring name = ExecutableName();

    struct Case {
        const wchar_t* in;
        std::wstring out;
        Stats stats;
    } cases[] = {
        {L"", L"", {0, 0}},
        {L"no placeholder at all", L"no placeholder at all", {0, 0}},
        {L"$(Nothing)", L"$(Nothing)", {1, 0}},
        {L"$(app.name)", L"$(app.name)", {1, 0}},
        {L"$(APP.NAME)", L"$(APP.NAME)", {1, 0}},
        {L"$()", L"$()", {0, 0}},
        {L"$(a(b))", L"$(a(b))", {0, 0}},
        {L"$(App.Name", L"$(App.Name", {0, 0}},
        {L"$$(App.Name)", L"$" + name, {1, 1}},
        {L"x$(Nothing)y$(App.Name)z", L"x$(Nothing)y" + name + L"z", {2, 1}},
        // Only the inner one is a placeholder; the outer text is not searched again.
        {L"$(App.$(App.Name))", L"$(App." + name + L")", {1, 1}},
        {L"$(App.Name)$(App.Name)", name + name, {2, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "input: " << TestUtil::Narrow(c.in));
        std::wstring text = c.in;
        EXPECT_TRUE(r.Replace(text));
        EXPECT_EQ(text, c.out);
        EXPECT_EQ(r.GetStatistics(), c.stats);
    }
}

TEST(CommonReplacements, ExecutablePathParts)
{
    CommonReplacements r;
    const std::wstring path = ModulePath();
    ASSERT_FALSE(path.empty());
    const size_t slash = path.rfind(L'\\');
    const std::wstring folder = path.substr(0, slash + 1);
    const std::wstring binary = path.substr(slash + 1);

    EXPECT_EQ(Expand(r, L"$(App.Path)"), path);
    EXPECT_EQ(Expand(r, L"$(App.Folder)"), folder);
    EXPECT_EQ(folder.back(), L'\\');
    EXPECT_EQ(Expand(r, L"$(App.Binary)"), binary);
    EXPECT_EQ(Expand(r, L"$(App.Name)"), ExecutableName());
    EXPECT_EQ(binary, ExecutableName() + L".exe");
    EXPECT_EQ(Expand(r, L"$(App.Folder)$(App.Binary)"), path);
    EXPECT_EQ(r.GetStatistics(), Stats(2, 2));
}

TEST(CommonReplacements, KnownFolderThroughShellProxy)
{
    auto shell = std::make_shared<StrictMock<MockShell>>();
    CommonReplacements r(shell);
    EXPECT_CALL(*shell, GetKnownFolderPath(Eq(FOLDERID_ProgramData), 0u, IsNull(), _))
        .WillOnce(GivePath(L"D:\\Shared Data"));

    std::wstring text = L"$(FOLDERID_ProgramData)\\Orvane\\Telvana";
    EXPECT_TRUE(r.Replace(text));
    EXPECT_EQ(text, L"D:\\Shared Data\\Orvane\\Telvana");
    EXPECT_EQ(r.GetStatistics(), Stats(1, 1));
}

TEST(CommonReplacements, EveryKnownFolderAsksForItsOwnId)
{
    const struct {
        const wchar_t* key;
        KNOWNFOLDERID id;
    } folders[] = {
        {L"$(FOLDERID_Profile)", FOLDERID_Profile},
        {L"$(FOLDERID_Desktop)", FOLDERID_Desktop},
        {L"$(FOLDERID_Documents)", FOLDERID_Documents},
        {L"$(FOLDERID_LocalAppDataLow)", FOLDERID_LocalAppDataLow},
        {L"$(FOLDERID_LocalAppData)", FOLDERID_LocalAppData},
        {L"$(FOLDERID_RoamingAppData)", FOLDERID_RoamingAppData},
        {L"$(FOLDERID_ProgramData)", FOLDERID_ProgramData},
        {L"$(FOLDERID_ProgramFiles)", FOLDERID_ProgramFiles},
        {L"$(FOLDERID_ProgramFilesX64)", FOLDERID_ProgramFilesX64},
        {L"$(FOLDERID_ProgramFilesX86)", FOLDERID_ProgramFilesX86},
        {L"$(FOLDERID_ProgramFilesCommon)", FOLDERID_ProgramFilesCommon},
        {L"$(FOLDERID_ProgramFilesCommonX64)", FOLDERID_ProgramFilesCommonX64},
        {L"$(FOLDERID_ProgramFilesCommonX86)", FOLDERID_ProgramFilesCommonX86},
    };
    auto shell = std::make_shared<StrictMock<MockShell>>();
    CommonReplacements r(shell);
    for (const auto& f : folders) {
        SCOPED_TRACE(TestUtil::Narrow(f.key));
        std::wstring answer = std::wstring(L"X:\\") + (f.key + 2);
        EXPECT_CALL(*shell, GetKnownFolderPath(Eq(f.id), 0u, IsNull(), _)).WillOnce(GivePath(answer));
        EXPECT_EQ(Expand(r, f.key), answer);
        EXPECT_EQ(r.GetStatistics(), Stats(1, 1));
        testing::Mock::VerifyAndClearExpectations(shell.get());
    }
}

TEST(CommonReplacements, KnownFolderAskedOnEveryUseAndFailuresLeaveThePlaceholder)
{
    auto shell = std::make_shared<StrictMock<MockShell>>();
    CommonReplacements r(shell);
    {
        testing::InSequence order;
        EXPECT_CALL(*shell, GetKnownFolderPath(Eq(FOLDERID_Documents), _, _, _)).WillOnce(GivePath(L"C:\\one"));
        EXPECT_CALL(*shell, GetKnownFolderPath(Eq(FOLDERID_Documents), _, _, _)).WillOnce(GivePath(L"C:\\two"));
    }
    EXPECT_EQ(Expand(r, L"$(FOLDERID_Documents);$(FOLDERID_Documents)"), L"C:\\one;C:\\two");

    EXPECT_CALL(*shell, GetKnownFolderPath(Eq(FOLDERID_Desktop), _, _, _)).WillOnce(Return(E_FAIL));
    EXPECT_EQ(Expand(r, L"$(FOLDERID_Desktop)\\x"), L"$(FOLDERID_Desktop)\\x");
    EXPECT_EQ(r.GetStatistics(), Stats(1, 0));

    // Success without a path is no answer either.
    EXPECT_CALL(*shell, GetKnownFolderPath(Eq(FOLDERID_Desktop), _, _, _)).WillOnce(Return(S_OK));
    EXPECT_EQ(Expand(r, L"$(FOLDERID_Desktop)"), L"$(FOLDERID_Desktop)");
    EXPECT_EQ(r.GetStatistics(), Stats(1, 0));

    // An empty path counts as no value.
    EXPECT_CALL(*shell, GetKnownFolderPath(Eq(FOLDERID_Desktop), _, _, _)).WillOnce(GivePath(L""));
    EXPECT_EQ(Expand(r, L"$(FOLDERID_Desktop)"), L"$(FOLDERID_Desktop)");
    EXPECT_EQ(r.GetStatistics(), Stats(1, 0));
}

TEST(CommonReplacements, RealKnownFolders)
{
    CommonReplacements r;
    wchar_t expected[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, expected), S_OK);
    EXPECT_EQ(Expand(r, L"$(FOLDERID_ProgramData)\\Orvane\\Telvana"), std::wstring(expected) + L"\\Orvane\\Telvana");
    EXPECT_EQ(r.GetStatistics(), Stats(1, 1));

    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, SHGFP_TYPE_CURRENT, expected), S_OK);
    EXPECT_EQ(Expand(r, L"$(FOLDERID_ProgramFilesCommon)"), expected);

    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, expected), S_OK);
    EXPECT_EQ(Expand(r, L"$(FOLDERID_LocalAppData)"), expected);
}

TEST(CommonReplacements, PlatformNameFromOSInfo)
{
    auto os = std::make_shared<StrictMock<MockOSInfo>>();
    CommonReplacements r(nullptr, os);
    const struct {
        DWORD flag;
        const wchar_t* out;
        Stats stats;
    } cases[] = {
        {0, L"win32", {1, 1}},
        {1, L"x64", {1, 1}},
        {2, L"PlatformUnknown", {1, 1}},
        {3, L"$(OS.Platform)", {1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag);
        // Asked again for every occurrence: the proxy keeps its own cache.
        EXPECT_CALL(*os, GetOSFlag()).Times(2).WillRepeatedly(Return(c.flag));
        EXPECT_EQ(Expand(r, L"[$(OS.Platform)]"), std::wstring(L"[") + c.out + L"]");
        EXPECT_EQ(r.GetStatistics(), c.stats);
        EXPECT_EQ(Expand(r, L"$(OS.Platform)"), c.out);
        testing::Mock::VerifyAndClearExpectations(os.get());
    }
}

TEST(CommonReplacements, RealPlatformIsX64)
{
    // The test prefix reports Windows 10 (kernel32 10.x), a 64-bit system.
    CommonReplacements r;
    EXPECT_EQ(Expand(r, L"$(OS.Platform)"), L"x64");
}

TEST(CommonReplacements, ExtraProvidersOverrideAndAreNotExpandedAgain)
{
    auto shell = std::make_shared<StrictMock<MockShell>>();
    auto os = std::make_shared<StrictMock<MockOSInfo>>();
    CommonReplacements r(shell, os);
    int calls = 0;
    CommonReplacements::ExtraProviders extra = {
        {L"$(App.Name)", [&calls] { ++calls; return std::wstring(L"Override"); }},
        {L"$(Custom)", [] { return std::wstring(L"$(OS.Platform)"); }},
        {L"$(Empty)", [] { return std::wstring(); }},
        {L"$(FOLDERID_Desktop)", [] { return std::wstring(); }},
    };

    std::wstring text = L"$(App.Name)/$(Custom)";
    EXPECT_TRUE(r.ReplaceWith(text, extra));
    EXPECT_EQ(text, L"Override/$(OS.Platform)");
    EXPECT_EQ(r.GetStatistics(), Stats(2, 2));
    EXPECT_EQ(calls, 1);

    // An empty extra value leaves the placeholder, without falling back to the built-in table
    // (the strict mocks fail on any call).
    text = L"$(Empty)$(FOLDERID_Desktop)";
    EXPECT_TRUE(r.ReplaceWith(text, extra));
    EXPECT_EQ(text, L"$(Empty)$(FOLDERID_Desktop)");
    EXPECT_EQ(r.GetStatistics(), Stats(2, 0));

    // Keys are matched exactly.
    text = L"$(custom)";
    EXPECT_TRUE(r.ReplaceWith(text, extra));
    EXPECT_EQ(text, L"$(custom)");
    EXPECT_EQ(r.GetStatistics(), Stats(1, 0));
}

TEST(CommonReplacements, ThrowingExtraProviderKeepsTheText)
{
    CommonReplacements r;
    CommonReplacements::ExtraProviders extra = {
        {L"$(Bad)", []() -> std::wstring { throw std::runtime_error("provider failed"); }},
    };
    std::wstring text = L"$(App.Name) $(Bad) tail";
    EXPECT_FALSE(r.ReplaceWith(text, extra));
    EXPECT_EQ(text, L"$(App.Name) $(Bad) tail");
}

TEST(CommonReplacements, ScanFindsWhatThePatternMatches)
{
    // The pattern's own engine is the reference: same number of placeholders found in texts
    // made of the characters that matter.
    const std::wregex pattern(L"\\$\\([^$()]+\\)", std::regex_constants::ECMAScript);
    const wchar_t alphabet[] = {L'$', L'(', L')', L'a', L'b'};
    unsigned seed = 12345;
    Lumetra::CommonReplacements replacements;
    for (int round = 0; round < 2000; ++round) {
        std::wstring text;
        const int length = static_cast<int>(seed % 24);
        for (int i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            text += alphabet[(seed >> 16) % 5];
        }
        seed = seed * 1103515245u + 12345u;
        const auto expected = static_cast<unsigned long long>(
            std::distance(std::wsregex_iterator(text.begin(), text.end(), pattern), std::wsregex_iterator()));
        std::wstring copy = text;
        ASSERT_TRUE(replacements.Replace(copy));
        EXPECT_EQ(copy, text);
        EXPECT_EQ(replacements.GetStatistics().first, expected) << TestUtil::Narrow(text);
    }
}

TEST(CommonReplacements, LongTextDoesNotExhaustTheStack)
{
    std::wstring text = L"$(" + std::wstring(200000, L'x') + L")$(App.Name)";
    Lumetra::CommonReplacements replacements;
    ASSERT_TRUE(replacements.Replace(text));
    EXPECT_EQ(replacements.GetStatistics().first, 2u);
    EXPECT_EQ(replacements.GetStatistics().second, 1u);
}
