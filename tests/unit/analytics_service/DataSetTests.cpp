// Dataset DLLs through the real pieces: enciphered registrations in a scratch key, the doubles
// the build signed with the test PKI, the real trust check and loader.
#include "datasets/DataSetStore.h"
#include "datasets/PluginLoader.h"

#include "Lumetra/CodeTrust.h"
#include "Lumetra/ObfuscatedRegKey.h"

#include "../support/TrustTestState.h"
#include "LogCapture.h"
#include "TestPki.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

namespace {

const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);

// Registrations, a marker file the doubles write on load, unload and release, and the
// machine's trust state held steady (other test processes install trusted lists).
class DataSets : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestPki::TrustTestRoot());
        SetEnvironmentVariableW(L"TELVANA_DATASET_LOG", m_dir.File(L"marker.txt").c_str());
        source.root = m_key.Root();
        source.keyPath = m_key.Path();
        LogCapture::Clear();
    }
    void TearDown() override { SetEnvironmentVariableW(L"TELVANA_DATASET_LOG", nullptr); }

    void Register(const std::wstring& name, const std::wstring& path)
    {
        Lumetra::CObfuscatedRegKey key;
        ASSERT_EQ(0, key.Open(m_key.Root(), m_key.Path().c_str()));
        ASSERT_EQ(0, key.SetStringValue(name.c_str(), path.c_str()));
    }
    std::string Marker() const { return TestUtil::ReadFileBytes(m_dir.File(L"marker.txt")); }
    static size_t Occurrences(const std::string& text, const std::string& part)
    {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }

    InstalledListState m_trustState;
    TestUtil::ScratchRegKey m_key;
    TestUtil::ScratchDir m_dir;
    Taliro::DataSetSource source;
};

TEST_F(DataSets, UntrustedDllsAreNeverLoaded)
{
    for (const wchar_t* file : {L"dataset_unsigned.dll", L"dataset_tampered.dll", L"dataset_other_publisher.dll"})
        Register(std::wstring(L"normal.") + file, TestPki::SignedFile(file));
    Register(L"normal.gone", m_dir.File(L"gone.dll"));
    KeyValueMap data;
    Taliro::PluginLoader loader(source);
    for (const wchar_t* file : {L"dataset_unsigned.dll", L"dataset_tampered.dll", L"dataset_other_publisher.dll"}) {
        EXPECT_FALSE(loader.AttachDataSet(std::wstring(L"normal.") + file, data));
        EXPECT_EQ(1u, LogCapture::Count(L"The DLL at the path '" + TestPki::SignedFile(file) + L"' is not Orvane signed",
                                        4, L"PluginLoader", L"Taliro::PluginLoader::LoadPluginDLL"));
    }
    EXPECT_FALSE(loader.AttachDataSet(L"normal.gone", data));
    EXPECT_FALSE(loader.AttachDataSet(L"normal.unregistered", data));
    EXPECT_EQ(1u, LogCapture::Count(L"Cannot read the registry value 'normal.unregistered'", 4, L"Registry",
                                    L"GetObfuscatedStringValueFromRegistry"));
    EXPECT_EQ(1u, LogCapture::Count(L"Failed to get dataset 'normal.unregistered' from registry. Error code: 1012", 4,
                                    L"PluginLoader", L"GetRegisteredDataSetPath"));
    EXPECT_TRUE(LogCapture::Contains(L"The DLL at the path '" + m_dir.File(L"gone.dll") + L"' cannot be opened."));
    for (const wchar_t* name : {L"normal.dataset_unsigned.dll", L"normal.dataset_tampered.dll",
                                L"normal.dataset_other_publisher.dll", L"normal.gone", L"normal.unregistered"})
        EXPECT_EQ(1u, LogCapture::Count(L"Dataset '" + std::wstring(name) + L"' is not available", 4, L"PluginLoader",
                                        L"Taliro::PluginLoader::AttachDataSet"));
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(TestUtil::FileExists(m_dir.File(L"marker.txt"))) << Marker();

    source.keyPath += L"\\Missing";
    EXPECT_FALSE(Taliro::PluginLoader(source).AttachDataSet(L"normal.x", data));
    EXPECT_EQ(1u, LogCapture::Count(L"Cannot open the registry key '" + source.keyPath + L"'"));
}

TEST_F(DataSets, SignedDllDeliversItsPairsAndMalformedDataSetsNeverFault)
{
    const std::wstring dll = TestPki::SignedFile(L"dataset_signed.dll");
    for (const wchar_t* name : {L"normal", L"repeated", L"special", L"nullkey", L"nullobject", L"nullname", L"negative",
                                L"unknown"})
        Register(name, dll);
    Register(L"normal.norelease", TestPki::SignedFile(L"dataset_no_release.dll"));

    KeyValueMap data{{L"__ServiceTag", L"client"}};
    {
        Taliro::PluginLoader loader(source);
        for (const wchar_t* name : {L"normal", L"repeated", L"special", L"nullkey"})
            EXPECT_TRUE(loader.AttachDataSet(name, data)) << TestUtil::Narrow(name);
        EXPECT_NE(nullptr, GetModuleHandleW(dll.c_str())) << "kept loaded while the loader lives";
        for (const wchar_t* name : {L"nullobject", L"nullname", L"negative", L"unknown", L"normal.norelease"}) {
            EXPECT_FALSE(loader.AttachDataSet(name, data)) << TestUtil::Narrow(name);
            EXPECT_EQ(1u, LogCapture::Count(L"DataSet " + std::wstring(name) + L" could not be loaded", 4));
        }
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(dll.c_str()));
    const KeyValueMap expected{{L"Kavo_HardwareId", L"HW-1"}, {L"Kavo_SoftwareId", L"SW-1"}, {L"__ServiceTag", L"client"},
                               {L"k", L"first"}, {L"amp", L"a&b"}, {L"eq", L"c=d"}, {L"e", L"\u00e9"},
                               {L"jp", L"\u65e5"}, {L"ok", L"1"}};
    EXPECT_EQ(expected, data);
    EXPECT_EQ(1u, LogCapture::Count(L"DataSet nullkey: item 0 has no key; skipped", 2));
    EXPECT_EQ(1u, LogCapture::Count(L"DataSet nullkey: item 1 has no value; skipped", 2));
    EXPECT_EQ(1u, LogCapture::Count(L"DataSet nullname is malformed (name missing, count 1)", 4));
    EXPECT_EQ(1u, LogCapture::Count(L"DataSet negative is malformed (name present, count -1)", 4));
    EXPECT_EQ(1u, LogCapture::Count(L"DataSet nullobject: the DLL handed out no dataset", 4));
    EXPECT_EQ(1u, LogCapture::Count(L"Attached dataset 'special' to eventData", 3));
    const std::string marker = Marker();
    EXPECT_EQ(2u, Occurrences(marker, "Load\n"));
    EXPECT_EQ(2u, Occurrences(marker, "Unload\n")) << "every reference is freed";
    EXPECT_EQ(6u, Occurrences(marker, "Release ")) << marker;
    EXPECT_EQ(0u, Occurrences(marker, "Release nullobject")) << marker;
}

TEST_F(DataSets, CheckedFileCannotBeReplacedBeforeItIsLoaded)
{
    const std::wstring copy = m_dir.File(L"DataSet.dll");
    ASSERT_TRUE(CopyFileW(TestPki::SignedFile(L"dataset_signed.dll").c_str(), copy.c_str(), FALSE));
    Register(L"normal", copy);
    DWORD replaceError = 0;
    source.trustCheck = [&](const wchar_t* path) {
        const DWORD trust = Lumetra::CheckFileTrust(path);
        if (!CopyFileW(TestPki::SignedFile(L"dataset_unsigned.dll").c_str(), path, FALSE))
            replaceError = GetLastError();
        return trust;
    };
    KeyValueMap data;
    EXPECT_TRUE(Taliro::PluginLoader(source).AttachDataSet(L"normal", data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), replaceError);
    EXPECT_TRUE(TestUtil::ReadFileBytes(TestPki::SignedFile(L"dataset_signed.dll")) == TestUtil::ReadFileBytes(copy));
}

TEST_F(DataSets, StoreServesAFreshSetFor180SecondsAndRetriesFailures)
{
    Register(L"normal.store", TestPki::SignedFile(L"dataset_signed.dll"));
    Register(L"nullobject.store", TestPki::SignedFile(L"dataset_signed.dll"));
    long long now = 17000000000000000LL;
    CDataSetStore store(180, source, [&] { return now; });
    const long long loaded = now;

    const KeyValueMap first = store.GetDataSet(L"normal.store");
    EXPECT_EQ(L"HW-1", first.at(L"Kavo_HardwareId"));
    now = loaded + 180 * 10000000LL - 1;
    EXPECT_EQ(first, store.GetDataSet(L"normal.store"));
    EXPECT_EQ(first, CDataSetStore(180, source, [&] { return now; }).GetDataSet(L"normal.store")) << "process-wide";
    EXPECT_EQ(1u, Occurrences(Marker(), "Load\n"));
    now = loaded + 180 * 10000000LL;
    EXPECT_EQ(first, store.GetDataSet(L"normal.store"));
    EXPECT_EQ(2u, Occurrences(Marker(), "Load\n"));

    EXPECT_TRUE(store.GetDataSet(L"nullobject.store").empty());
    EXPECT_TRUE(store.GetDataSet(L"nullobject.store").empty());
    EXPECT_EQ(2u, LogCapture::Count(L"Failed to load dataset nullobject.store", 4, L"CAEvent", L"CDataSetStore::LoadDataSet"));
    EXPECT_EQ(4u, Occurrences(Marker(), "Load\n"));
}

} // namespace
