// Dataset DLLs through the real pieces: enciphered registrations under a redirected scratch key,
// the doubles the build signed with the test PKI, the real trust check and loader.
#include "datasets/DataSetStore.h"
#include "datasets/PluginLoader.h"
#include "registry/CAUtils.h"

#include "Lumetra/CodeTrust.h"
#include "Lumetra/ObfuscatedRegKey.h"

#include "../support/TrustTestState.h"
#include "LogCapture.h"
#include "TestPki.h"

#include <gtest/gtest.h>

namespace {

const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);

// The machine's trust state is held steady: other test processes install trusted lists.
class DataSets : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestPki::TrustTestRoot());
        SetRegistryRedirection(m_key.Root(), m_key.Path());
        SetEnvironmentVariableW(L"TELVANA_DATASET_LOG", m_dir.File(L"marker.txt").c_str());
        LogCapture::Clear();
    }
    void TearDown() override { ClearRegistryRedirection(); }

    void Register(const std::wstring& name, const std::wstring& path)
    {
        Lumetra::CObfuscatedRegKey key;
        ASSERT_EQ(0, key.Create(m_key.Root(), (m_key.Path() + L"\\SOFTWARE\\Orvane\\OvTelvana\\DataSets").c_str()));
        ASSERT_EQ(0, key.SetStringValue(name.c_str(), path.c_str()));
    }
    size_t Marked(const std::string& line) const
    {
        const std::string text = "\n" + TestUtil::ReadFileBytes(m_dir.File(L"marker.txt"));
        size_t n = 0;
        for (size_t at = text.find("\n" + line + "\n"); at != std::string::npos; at = text.find("\n" + line + "\n", at + 1))
            ++n;
        return n;
    }

    InstalledListState m_trustState;
    TestUtil::ScratchRegKey m_key;
    TestUtil::ScratchDir m_dir;
};

TEST_F(DataSets, UntrustedOrUnregisteredDllsAreNeverLoaded)
{
    KeyValueMap data;
    EXPECT_FALSE(Taliro::PluginLoader().AttachDataSet(L"normal", data));
    EXPECT_EQ(1u, LogCapture::Count(L"Cannot open the registry key 'SOFTWARE\\Orvane\\OvTelvana\\DataSets'", 4));
    const std::vector<std::wstring> files{L"dataset_unsigned.dll", L"dataset_tampered.dll", L"dataset_other_publisher.dll"};
    for (const std::wstring& file : files)
        Register(L"normal." + file, TestPki::SignedFile(file));
    Register(L"normal.gone", m_dir.File(L"gone.dll"));
    Taliro::PluginLoader loader;
    for (const std::wstring& file : files) {
        EXPECT_FALSE(loader.AttachDataSet(L"normal." + file, data));
        EXPECT_EQ(1u, LogCapture::Count(L"The DLL at the path '" + TestPki::SignedFile(file) + L"' is not Orvane signed",
                                        4, L"PluginLoader", L"Taliro::PluginLoader::LoadPluginDLL"));
    }
    EXPECT_FALSE(loader.AttachDataSet(L"normal.gone", data));
    EXPECT_TRUE(LogCapture::Contains(L"The DLL at the path '" + m_dir.File(L"gone.dll") + L"' cannot be opened."));
    // A file that another handle may write cannot be held from the check to the load.
    ASSERT_TRUE(CopyFileW(TestPki::SignedFile(L"dataset_signed.dll").c_str(), m_dir.File(L"w.dll").c_str(), FALSE));
    Register(L"normal.written", m_dir.File(L"w.dll"));
    HANDLE writer =
        CreateFileW(m_dir.File(L"w.dll").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(loader.AttachDataSet(L"normal.written", data));
    CloseHandle(writer);
    for (const wchar_t* file : {L"gone.dll", L"w.dll"})
        EXPECT_EQ(1u, LogCapture::Count(L"The DLL at the path '" + m_dir.File(file) + L"' is not Orvane signed", 4));
    // A registered path that is not full is never opened against the current directory.
    ASSERT_TRUE(CopyFileW(TestPki::SignedFile(L"dataset_signed.dll").c_str(), m_dir.File(L"DataSet.dll").c_str(), FALSE));
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(m_dir.Path().c_str());
    Register(L"normal.relative", L"DataSet.dll");
    EXPECT_FALSE(loader.AttachDataSet(L"normal.relative", data));
    SetCurrentDirectoryW(previous);
    EXPECT_FALSE(loader.AttachDataSet(L"normal.unregistered", data));
    EXPECT_EQ(1u, LogCapture::Count(L"Failed to get dataset 'normal.unregistered' from registry. Error code: 1012"));
    EXPECT_EQ(1u, LogCapture::Count(L"Dataset 'normal.unregistered' is not available", 4, L"PluginLoader",
                                    L"Taliro::PluginLoader::AttachDataSet"));
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(TestUtil::FileExists(m_dir.File(L"marker.txt"))) << "no double was ever mapped";
}

TEST_F(DataSets, SignedDllDeliversItsPairsAndMalformedDataSetsNeverFault)
{
    const std::wstring dll = TestPki::SignedFile(L"dataset_signed.dll");
    for (const wchar_t* name : {L"normal", L"repeated", L"special", L"nullkey", L"nullobject", L"nullname", L"negative",
                                L"unknown", L"huge", L"throwing", L"badrelease"})
        Register(name, dll);
    Register(L"normal.norelease", TestPki::SignedFile(L"dataset_no_release.dll"));
    KeyValueMap data{{L"__ServiceTag", L"client"}};
    // Each in a loader of its own, before any other load could keep the DLL mapped past the throw.
    for (const std::wstring name : {L"throwing", L"badrelease"}) {
        EXPECT_FALSE(Taliro::PluginLoader().AttachDataSet(name, data));
        EXPECT_EQ(1u, LogCapture::Count(L"DataSet " + name + L" could not be loaded", 4));
        EXPECT_EQ(1u, LogCapture::Count(L"Dataset '" + name + L"' is not available", 4));
    }
    for (const wchar_t* thrown : {L"throwing'. Error message: std::bad_alloc", L"badrelease'. Error message: release failed"})
        EXPECT_EQ(1u, LogCapture::Count(L"Exception thrown while trying to attach dataset '" + std::wstring(thrown), 4,
                                        L"PluginLoader", L"Taliro::PluginLoader::LoadPluginDLL"));
    {
        Taliro::PluginLoader loader;
        // A negative count is an empty dataset, attached all the same.
        for (const wchar_t* name : {L"normal", L"repeated", L"special", L"nullkey", L"negative"})
            EXPECT_TRUE(loader.AttachDataSet(name, data)) << TestUtil::Narrow(name);
        EXPECT_NE(nullptr, GetModuleHandleW(dll.c_str())) << "kept loaded while the loader lives";
        // A count no cache could carry is refused unwalked; a failed build still releases.
        for (const wchar_t* name : {L"nullobject", L"nullname", L"unknown", L"normal.norelease", L"huge"}) {
            EXPECT_FALSE(loader.AttachDataSet(name, data)) << TestUtil::Narrow(name);
            EXPECT_EQ(1u, LogCapture::Count(L"DataSet " + std::wstring(name) + L" could not be loaded", 4));
        }
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(dll.c_str()));
    EXPECT_EQ(KeyValueMap({{L"Kavo_HardwareId", L"HW-1"}, {L"Kavo_SoftwareId", L"SW-1"}, {L"__ServiceTag", L"client"},
                           {L"k", L"first"}, {L"amp", L"a&b"}, {L"eq", L"c=d"}, {L"e", L"\u00e9"}, {L"jp", L"\u65e5"},
                           {L"ok", L"1"}}),
              data);
    EXPECT_EQ(1u, LogCapture::Count(L"DataSet nullkey: item 1 has no value; skipped", 2));
    EXPECT_EQ(1u, LogCapture::Count(L"Attached dataset 'special' to eventData", 3));
    EXPECT_EQ(4u, Marked("Load"));
    EXPECT_EQ(4u, Marked("Unload")) << "every reference is freed";
    EXPECT_EQ(9u, Marked("Release")) << "all but the null object";
    EXPECT_EQ(0u, Marked("Walked"));
}

TEST_F(DataSets, CheckedFileCannotBeReplacedBeforeItIsLoaded)
{
    const std::wstring copy = m_dir.File(L"DataSet.dll");
    ASSERT_TRUE(CopyFileW(TestPki::SignedFile(L"dataset_signed.dll").c_str(), copy.c_str(), FALSE));
    // Registered through a host link: the file checked and loaded is the one it names, by its own path.
    TestUtil::RunCommand(L"Z:\\bin\\ln -s DataSet.dll Link.dll", 0, m_dir.Path().c_str());
    for (int i = 0; i < 100 && !TestUtil::FileExists(m_dir.File(L"Link.dll")); ++i) Sleep(50);
    Register(L"normal", m_dir.File(L"Link.dll"));
    DWORD replaceError = 0;
    std::wstring checked;
    Taliro::PluginLoader loader([&](const wchar_t* path) {
        const DWORD trust = Lumetra::CheckFileTrust((checked = path).c_str());
        if (!CopyFileW(TestPki::SignedFile(L"dataset_unsigned.dll").c_str(), path, FALSE))
            replaceError = GetLastError();
        return trust;
    });
    KeyValueMap data;
    EXPECT_TRUE(loader.AttachDataSet(L"normal", data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), replaceError);
    EXPECT_EQ(copy, checked);
}

TEST_F(DataSets, StoreServesAFreshSetFor180SecondsAndRetriesFailures)
{
    Register(L"normal.store", TestPki::SignedFile(L"dataset_signed.dll"));
    Register(L"nullobject.store", TestPki::SignedFile(L"dataset_signed.dll"));
    const long long loaded = 17000000000000000LL;
    long long now = loaded;
    CDataSetStore store(180, [&] { return now; });
    const KeyValueMap first = store.GetDataSet(L"normal.store");
    EXPECT_EQ(L"HW-1", first.at(L"Kavo_HardwareId"));
    now = loaded + 180 * 10000000LL - 1;
    EXPECT_EQ(first, store.GetDataSet(L"normal.store"));
    EXPECT_EQ(first, CDataSetStore(180, [&] { return now; }).GetDataSet(L"normal.store")) << "one cache per process";
    EXPECT_EQ(1u, Marked("Load"));
    now = loaded + 180 * 10000000LL;
    EXPECT_EQ(first, store.GetDataSet(L"normal.store"));
    EXPECT_EQ(2u, Marked("Load"));
    EXPECT_TRUE(store.GetDataSet(L"nullobject.store").empty());
    EXPECT_TRUE(store.GetDataSet(L"nullobject.store").empty());
    EXPECT_EQ(2u, LogCapture::Count(L"Failed to load dataset nullobject.store", 4, L"CAEvent", L"CDataSetStore::LoadDataSet"));
    EXPECT_EQ(4u, Marked("Load"));
    // An attached empty dataset stays fresh like any other.
    Register(L"negative.store", TestPki::SignedFile(L"dataset_signed.dll"));
    EXPECT_TRUE(store.GetDataSet(L"negative.store").empty() && store.GetDataSet(L"negative.store").empty());
    EXPECT_EQ(5u, Marked("Load"));
}

} // namespace
