#include "Lumetra/CodeTrust.h"
#include "Lumetra/TrustedList.h"

#include "TestPki.h"
#include "TrustTestState.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace Lumetra;

namespace {

std::wstring Signed(const wchar_t* name)
{
    return TestPki::SignedFile(name);
}

DWORD InstalledVersion()
{
    CTrustedList& list = ProcessTrustedList();
    list.LockShared();
    const DWORD version = list.LoadedUnlocked() ? list.Version() : 0;
    list.UnlockShared();
    return version;
}

// Files the extraction leaves in the temporary folder (unique names keep three letters of the prefix).
size_t TemporaryLeftovers()
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((std::wstring(folder) + L"tru*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    size_t count = 0;
    do {
        ++count;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

class CabinetRefresh : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(TestPki::TrustTestRoot()); }
};

TEST_F(CabinetRefresh, NewerListFromCabinetIsInstalled)
{
    InstalledListState state;
    const size_t leftovers = TemporaryLeftovers();
    CCabinet cabinet;
    ASSERT_TRUE(cabinet.IsUsable());
    EXPECT_FALSE(cabinet.ExtractTrustedList(Signed(L"trusted_v5.cab").c_str())) << "not above the built-in data";
    EXPECT_FALSE(TestUtil::FileExists(state.Path()));

    EXPECT_TRUE(cabinet.ExtractTrustedList(Signed(L"trusted_v6.cab").c_str()));
    EXPECT_EQ(6u, InstalledVersion());
    EXPECT_EQ(TestUtil::ReadFileBytes(Signed(L"trusted_v6.js")), TestUtil::ReadFileBytes(state.Path()));
    EXPECT_NE(0, GlobalFindAtomW(CTrustedList::RefreshSignalName()));

    EXPECT_FALSE(cabinet.ExtractTrustedList(Signed(L"trusted_v6.cab").c_str())) << "same version";
    EXPECT_TRUE(cabinet.ExtractTrustedList(Signed(L"trusted_v7_upper.cab").c_str())) << "entry name in capitals";
    EXPECT_EQ(7u, InstalledVersion());
    EXPECT_FALSE(cabinet.ExtractTrustedList(Signed(L"trusted_v6.cab").c_str())) << "older";
    EXPECT_EQ(7u, InstalledVersion());
    EXPECT_EQ(leftovers, TemporaryLeftovers());
}

TEST_F(CabinetRefresh, CabinetWithoutAValidListInstallsNothing)
{
    InstalledListState state;
    const size_t leftovers = TemporaryLeftovers();
    CCabinet cabinet;
    EXPECT_FALSE(cabinet.ExtractTrustedList(Signed(L"trusted_v7_wrong_signer.cab").c_str()));
    EXPECT_FALSE(cabinet.ExtractTrustedList(Signed(L"no_list.cab").c_str()));
    EXPECT_FALSE(cabinet.ExtractTrustedList(Signed(L"sample_trusted.dll").c_str()));
    EXPECT_FALSE(cabinet.ExtractTrustedList(Signed(L"missing.cab").c_str()));
    EXPECT_FALSE(cabinet.ExtractTrustedList(nullptr));

    // Cut off inside the compressed data: the copy stops with the target open.
    TestUtil::ScratchDir dir;
    const std::string whole = TestUtil::ReadFileBytes(Signed(L"trusted_v7.cab"));
    ASSERT_GT(whole.size(), 200u);
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"cut.cab"), whole.substr(0, whole.size() - 100)));
    EXPECT_FALSE(cabinet.ExtractTrustedList(dir.File(L"cut.cab").c_str()));
    // Its folder's compression type unknown: the platform gives up between copy and close.
    std::string unknown = whole;
    unknown[42] = 0x0F;
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"unknown.cab"), unknown));
    errno = 0;
    EXPECT_FALSE(cabinet.ExtractTrustedList(dir.File(L"unknown.cab").c_str()));
    EXPECT_NE(EBADF, errno) << "a descriptor the platform had closed was closed again";

    EXPECT_FALSE(TestUtil::FileExists(state.Path()));
    EXPECT_EQ(0u, InstalledVersion());
    EXPECT_EQ(leftovers, TemporaryLeftovers());
}

TEST_F(CabinetRefresh, OlderListNeverReplacesAnInstalledNewerOne)
{
    InstalledListState state;
    ASSERT_TRUE(ProcessTrustedList().Install(Signed(L"trusted_v8.js").c_str()));
    // Nothing has read the installed list in this process yet.
    ASSERT_TRUE(ProcessTrustedList().Reload());
    ProcessTrustedList().LockExclusive();
    ProcessTrustedList().Clear();
    ProcessTrustedList().UnlockExclusive();
    EXPECT_FALSE(UpdateTrustedListFromFile(Signed(L"trusted_v7.js").c_str()));
    EXPECT_EQ(TestUtil::ReadFileBytes(Signed(L"trusted_v8.js")), TestUtil::ReadFileBytes(state.Path()));
    EXPECT_FALSE(UpdateTrustedListFromFile(Signed(L"trusted_v7_wrong_signer.js").c_str()));
    EXPECT_FALSE(UpdateTrustedListFromFile(nullptr));
    // This process holds an older list while another installs a newer one: the installed file decides.
    ASSERT_TRUE(ProcessTrustedList().Install(Signed(L"trusted_v6.js").c_str()));
    ASSERT_TRUE(CTrustedList(state.Path().c_str()).Install(Signed(L"trusted_v8.js").c_str()));
    EXPECT_FALSE(UpdateTrustedListFromFile(Signed(L"trusted_v7.js").c_str()));
    EXPECT_EQ(TestUtil::ReadFileBytes(Signed(L"trusted_v8.js")), TestUtil::ReadFileBytes(state.Path()));
}

// ---------------------------------------------------------------------------------------------
// The refresh as part of the trust check.

TEST_F(CabinetRefresh, CabinetIsTrustedByTheListItBrings)
{
    InstalledListState state;
    // Signed by the publisher that only the list inside accepts.
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_other_publisher.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"trusted_v7_signed.cab").c_str()));
    EXPECT_EQ(7u, InstalledVersion());
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_other_publisher.dll").c_str()));
}

TEST_F(CabinetRefresh, UnsignedCabinetStillRefreshesTheList)
{
    InstalledListState state;
    TestUtil::ScratchDir dir;
    const std::wstring cabinet = dir.File(L"update.CAB");
    ASSERT_TRUE(CopyFileW(Signed(L"trusted_v7.cab").c_str(), cabinet.c_str(), FALSE));
    EXPECT_EQ(5u, CheckFileTrust(cabinet.c_str()));
    EXPECT_EQ(7u, InstalledVersion()) << "the extension is compared without case";
}

TEST_F(CabinetRefresh, LoadedListDecidesOnceNewerThanBuiltInData)
{
    InstalledListState state;
    ASSERT_TRUE(ProcessTrustedList().Install(Signed(L"trusted_v7.js").c_str()));
    ProcessTrustedList().LockExclusive();
    ProcessTrustedList().Clear();
    ProcessTrustedList().UnlockExclusive();

    // Not loaded yet: the built-in data answers first.
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_holding.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_listed_serial.dll").c_str()));
    EXPECT_EQ(0u, InstalledVersion());
    // A refused file loads the list, whose data then decides alone.
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_other_publisher.dll").c_str()));
    EXPECT_EQ(7u, InstalledVersion());
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_holding.dll").c_str()));
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_listed_serial.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_trusted.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_two_signers.dll").c_str())) << "first signer listed, second passes";
}

TEST_F(CabinetRefresh, ListNotAboveBuiltInVersionIsNotUsed)
{
    InstalledListState state;
    ASSERT_TRUE(ProcessTrustedList().Install(Signed(L"trusted_v5.js").c_str()));
    ProcessTrustedList().LockExclusive();
    ProcessTrustedList().Clear();
    ProcessTrustedList().UnlockExclusive();
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_other_publisher.dll").c_str()));
}

TEST_F(CabinetRefresh, SignalFromAnotherInstallReloadsTheList)
{
    InstalledListState state;
    ASSERT_TRUE(ProcessTrustedList().Install(Signed(L"trusted_v6.js").c_str()));
    EXPECT_EQ(6u, InstalledVersion());
    // Another installer (as another process would) replaces the file.
    CTrustedList other(nullptr);
    ASSERT_TRUE(other.Install(Signed(L"trusted_v8.js").c_str()));
    EXPECT_EQ(6u, InstalledVersion());
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_unsigned.dll").c_str()));
    EXPECT_EQ(8u, InstalledVersion());
}

} // namespace
