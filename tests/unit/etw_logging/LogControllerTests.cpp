#include "ETWLogging/LogController.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "ETWLogging/AppProperties.h"
#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/PathUtils.h"
#include "Lumetra/RegKey.h"
#include "Lumetra/ShlObjAPI.h"
#include "TestPki.h"
#include "TestUtil.h"

using namespace ETWLogging;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::Return;
using ::testing::StrictMock;

namespace {

using Calls = std::vector<std::string>;

const wchar_t* const kZenvoKey = L"SOFTWARE\\Orvane\\Zenvo";
const wchar_t* const kZenvoValue = L"CommonFiles Dir64";

class MockShell : public Lumetra::ShlObjAPI {
public:
    MOCK_METHOD(HRESULT, GetKnownFolderPath, (REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*), (override));
};

auto GivePath(const std::wstring& path)
{
    return [path](REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* out) {
        size_t bytes = (path.size() + 1) * sizeof(wchar_t);
        *out = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
        std::memcpy(*out, path.c_str(), bytes);
        return S_OK;
    };
}

std::wstring Variant(const wchar_t* name)
{
    return TestPki::SignedFile(std::wstring(name) + L"\\Lognex.dll");
}

std::wstring ExeFolder()
{
    std::wstring folder;
    Lumetra::GetModuleFolder(folder, true);
    return folder;
}

// Each test reads the calls the Lognex.dll double records, in a file of its own.
class CallRecord {
public:
    CallRecord() : m_path(m_dir.File(L"calls.log"))
    {
        SetEnvironmentVariableW(L"TELVANA_LOGNEX_LOG", m_path.c_str());
        SetEnvironmentVariableW(L"TELVANA_LOGNEX_START_RESULT", nullptr);
    }
    ~CallRecord() { SetEnvironmentVariableW(L"TELVANA_LOGNEX_LOG", nullptr); }

    Calls Read() const
    {
        Calls calls;
        std::string text = TestUtil::ReadFileBytes(m_path);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            if (end == std::string::npos) end = text.size();
            calls.push_back(text.substr(pos, end - pos));
            pos = end + 2;
        }
        return calls;
    }
    bool Exists() const { return TestUtil::FileExists(m_path); }

private:
    TestUtil::ScratchDir m_dir;
    std::wstring m_path;
};

// A folder holding the host program and, when asked, a Lognex.dll variant beside it.
class HostFolder {
public:
    explicit HostFolder(const wchar_t* variant = nullptr)
    {
        EXPECT_TRUE(CopyFileW((ExeFolder() + L"logctl_host.exe").c_str(), Host().c_str(), FALSE));
        if (variant) {
            EXPECT_TRUE(CopyFileW(Variant(variant).c_str(), m_dir.File(L"Lognex.dll").c_str(), FALSE));
        }
    }
    std::wstring Host() const { return m_dir.File(L"logctl_host.exe"); }

    // Runs the host for the application name; its exit code is the controller's status.
    DWORD Run(const std::wstring& applicationName) const
    {
        std::wstring command = L"\"" + Host() + L"\" \"" + applicationName + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(Host().c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, m_dir.Path().c_str(),
                            &startup, &process)) {
            ADD_FAILURE() << "host did not start: " << GetLastError();
            return ~0u;
        }
        DWORD code = ~0u;
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return code;
    }

private:
    TestUtil::ScratchDir m_dir;
};

// The installed location's registry value is one per machine: tests that set it take turns,
// and put back what was there.
class InstalledLocation {
public:
    InstalledLocation()
    {
        m_mutex = CreateMutexW(nullptr, FALSE, L"Local\\TelvanaTests.LogControllerInstalledLocation");
        WaitForSingleObject(m_mutex, INFINITE);
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kZenvoKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
            DWORD type = 0;
            DWORD size = 0;
            if (RegQueryValueExW(key, kZenvoValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
                m_saved.resize(size);
                m_hadValue = RegQueryValueExW(key, kZenvoValue, nullptr, &m_savedType, m_saved.data(), &size) ==
                             ERROR_SUCCESS;
            }
            RegCloseKey(key);
        }
    }
    ~InstalledLocation()
    {
        if (m_hadValue) Write(m_savedType, m_saved.data(), static_cast<DWORD>(m_saved.size()));
        else Clear();
        ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
    }
    void Set(const std::wstring& folder)
    {
        Write(REG_SZ, folder.c_str(), static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    void Clear() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kZenvoKey, kZenvoValue); }

private:
    void Write(DWORD type, const void* data, DWORD size)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kZenvoKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, kZenvoValue, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    HANDLE m_mutex;
    bool m_hadValue = false;
    DWORD m_savedType = 0;
    std::vector<BYTE> m_saved;
};

// A logging property set for one application name, stored enciphered as the product stores it.
class PropertySet {
public:
    PropertySet(const std::wstring& name, const std::wstring& controllerPath)
        : m_path(L"SOFTWARE\\Orvane.logging\\" + name)
    {
        auto create = [this](const wchar_t* sub, Lumetra::CObfuscatedRegKey& key) {
            std::wstring path = m_path + (sub ? std::wstring(L"\\") + sub : std::wstring());
            EXPECT_EQ(key.Create(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS);
        };
        Lumetra::CObfuscatedRegKey set, session, provider, controller;
        create(nullptr, set);
        create(L"Session", session);
        create(L"Provider", provider);
        create(L"Controller", controller);
        EXPECT_EQ(controller.SetStringValue(L"Controller Path", controllerPath.c_str()), ERROR_SUCCESS);
        EXPECT_EQ(controller.SetStringValue(L"Owner Mutex Name", L"Local\\TelvanaTests.Owner"), ERROR_SUCCESS);
        const GUID session_id = {0x1c2a4e36, 0x5b7d, 0x4f80, {0x91, 0xa2, 0xb3, 0xc4, 0xd5, 0xe6, 0xf7, 0x08}};
        EXPECT_EQ(session.SetGUIDValue(L"Session ID Guid", session_id), ERROR_SUCCESS);
        EXPECT_EQ(session.SetStringValue(L"Session Name", L"TelvanaTests.Session"), ERROR_SUCCESS);
        EXPECT_EQ(provider.SetStringValue(L"Provider Guid", L"{5A3F1D2C-8B4E-4C6A-9D7F-0E1B2C3D4E5F}"),
                  ERROR_SUCCESS);
    }
    ~PropertySet()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_path.c_str());
    }

private:
    std::wstring m_path;
};

std::string Narrow(const std::wstring& text) { return TestUtil::Narrow(text); }

class LogControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestPki::TrustTestRoot());
        // Tests in this process must not find a controller beside their own executable.
        ASSERT_FALSE(TestUtil::FileExists(ExeFolder() + L"Lognex.dll"));
    }
    std::wstring m_app = TestUtil::UniqueName(L"LogCtl");
};

// The base class alone, with a load hook the test sets.
class Wrapper : public Lumetra::CDllWrapperBase {
public:
    ~Wrapper() = default;
    DWORD hook = 0;
    DWORD OnLoad(const wchar_t*) override { return hook; }
};

// Tries to put an unsigned copy at the registered name as soon as a check has passed.
struct SwappingFinder : LogControllerHelper {
    explicit SwappingFinder(std::wstring name)
        : LogControllerHelper(std::make_unique<Lumetra::ShlObjAPI>(), std::make_unique<Lumetra::CRegKey>(),
                              std::make_unique<internal::ETWAppProperties>()), registered(std::move(name)) {}
    bool VerifySignature(const wchar_t* path) override
    {
        if (fail) throw std::bad_alloc();
        const bool trusted = LogControllerHelper::VerifySignature(path);
        swapped = swapped || (trusted && CopyFileW(Variant(L"lognex_unsigned").c_str(), registered.c_str(), FALSE));
        return trusted;
    }
    std::wstring registered;
    bool swapped = false;
    bool fail = false;
};
struct ControllerWithFinder : AutoLogController {
    ControllerWithFinder(const wchar_t* name, std::unique_ptr<LogControllerHelper> finder)
        : AutoLogController(name, std::move(finder)) {}
};

} // namespace

TEST_F(LogControllerTest, SignatureAcceptsOnlyTheBuiltInOrganisationsUnderTheBuiltInRoots)
{
    EXPECT_TRUE(VerifyFileSignature(Variant(L"lognex_signed").c_str()));
    EXPECT_TRUE(VerifyFileSignature(Variant(L"lognex_holding").c_str()));

    EXPECT_FALSE(VerifyFileSignature(Variant(L"lognex_unsigned").c_str()));
    EXPECT_FALSE(VerifyFileSignature(Variant(L"lognex_other_publisher").c_str()));
    EXPECT_FALSE(VerifyFileSignature(Variant(L"lognex_untrusted_root").c_str()));
    // Trusted signer, but the file changed after signing.
    EXPECT_FALSE(VerifyFileSignature(TestPki::SignedFile(L"sample_tampered.dll").c_str()));
    EXPECT_FALSE(VerifyFileSignature(TestPki::SignedFile(L"sample_grafted_signer.dll").c_str())) << "grafted signer";
    EXPECT_FALSE(VerifyFileSignature(TestPki::SignedFile(L"sample_grafted_alone.dll").c_str())) << "the same alone";
    EXPECT_FALSE(VerifyFileSignature(TestPki::SignedFile(L"no_such_file.dll").c_str()));
    EXPECT_FALSE(VerifyFileSignature(L""));
    EXPECT_FALSE(VerifyFileSignature(nullptr));
}

TEST_F(LogControllerTest, OnlyAGenuineCounterSignatureMovesTheChainTime)
{
    // The publisher's certificate was valid in 2019-2020 only; an RFC 3161 stamp is not read here.
    EXPECT_TRUE(VerifyFileSignature(TestPki::SignedFile(L"sample_expired_cs.dll").c_str()));
    for (const wchar_t* file : {L"sample_expired.dll", L"sample_expired_ts.dll", L"sample_expired_cs_broken.dll",
                                L"sample_expired_cs_copied.dll", L"sample_expired_cs_untrusted_tsa.dll"})
        EXPECT_FALSE(VerifyFileSignature(TestPki::SignedFile(file).c_str())) << Narrow(file);
}

TEST_F(LogControllerTest, SecondSignerPassesWhereTheFirstIsRefused)
{
    // First signer: the other publisher; second: the trusted one.
    const std::wstring file = Variant(L"lognex_two_signers");
    EXPECT_TRUE(VerifyFileSignature(file.c_str()));

    // The same file with one byte of its code changed must not pass through either signer.
    TestUtil::ScratchDir dir;
    std::string bytes = TestUtil::ReadFileBytes(file);
    ASSERT_GT(bytes.size(), 0x500u);
    bytes[0x400] = static_cast<char>(bytes[0x400] ^ 0x5A);
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"Lognex.dll"), bytes));
    EXPECT_FALSE(VerifyFileSignature(dir.File(L"Lognex.dll").c_str()));
}

TEST_F(LogControllerTest, SignerNameIsComparedWithCase)
{
    // The refused signer differs from a trusted name in case only.
    const std::wstring trusted = TestPki::Value(L"PUBLISHER_NAME");
    const std::wstring other_case = TestPki::Value(L"CASE_PUBLISHER_NAME");
    ASSERT_FALSE(trusted.empty());
    ASSERT_NE(trusted, other_case);
    ASSERT_EQ(_wcsicmp(trusted.c_str(), other_case.c_str()), 0);

    EXPECT_FALSE(VerifyFileSignature(Variant(L"lognex_case_publisher").c_str()));
}

TEST_F(LogControllerTest, DllWrapperCallsTheOptionalReferenceExports)
{
    CallRecord record;
    {
        Wrapper wrapper;
        EXPECT_EQ(wrapper.Load(Variant(L"lognex_unsigned").c_str()), 0u);
        ASSERT_NE(wrapper.GetModule(), nullptr);
        // A second load keeps the module and adds no reference.
        EXPECT_EQ(wrapper.Load(Variant(L"lognex_signed").c_str()), 0u);
        EXPECT_THAT(record.Read(), ElementsAre("Load", "DllAddRef()"));
    }
    EXPECT_THAT(record.Read(), ElementsAre("Load", "DllAddRef()", "DllRelease()", "Unload"));

    CallRecord without_refs;
    {
        Wrapper wrapper;
        EXPECT_EQ(wrapper.Load(Variant(L"lognex_no_refs").c_str()), 0u);
    }
    EXPECT_THAT(without_refs.Read(), ElementsAre("Load", "Unload"));
}

TEST_F(LogControllerTest, DllWrapperLoadFailures)
{
    CallRecord record;
    Wrapper wrapper;
    wrapper.hook = 1234;
    EXPECT_EQ(wrapper.Load(Variant(L"lognex_signed").c_str()), 1234u);
    EXPECT_EQ(wrapper.GetModule(), nullptr);

    wrapper.hook = 0;
    // Incomplete paths are refused without a load attempt, and not as success.
    EXPECT_EQ(wrapper.Load(L"Lognex.dll"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(wrapper.Load(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    TestUtil::ScratchDir dir;
    EXPECT_EQ(wrapper.Load(dir.File(L"Missing.dll").c_str()), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(wrapper.GetModule(), nullptr);
    EXPECT_FALSE(record.Exists());
}

TEST_F(LogControllerTest, InstalledPathFromRegistryElseCommonFiles)
{
    InstalledLocation location;
    auto shell = std::make_unique<StrictMock<MockShell>>();
    MockShell& shell_ref = *shell;
    LogControllerHelper helper(std::move(shell), std::make_unique<Lumetra::CRegKey>(),
                               std::make_unique<internal::ETWAppProperties>());
    std::wstring path = L"stale";

    location.Set(L"C:\\Vendor\\Common");
    EXPECT_TRUE(helper.GetInstalledPath(path));
    EXPECT_EQ(path, L"C:\\Vendor\\Common\\OvSvcHost\\Lognex.dll");
    location.Set(L"C:\\Vendor\\Common\\");
    EXPECT_TRUE(helper.GetInstalledPath(path));
    EXPECT_EQ(path, L"C:\\Vendor\\Common\\OvSvcHost\\Lognex.dll");

    // An empty value counts as none.
    location.Set(L"");
    EXPECT_CALL(shell_ref, GetKnownFolderPath(Eq(FOLDERID_ProgramFilesCommon), 0u, nullptr, _))
        .WillOnce(GivePath(L"D:\\Common Files"));
    EXPECT_TRUE(helper.GetInstalledPath(path));
    EXPECT_EQ(path, L"D:\\Common Files\\Orvane\\Platform\\OvSvcHost\\Lognex.dll");

    location.Clear();
    EXPECT_CALL(shell_ref, GetKnownFolderPath(Eq(FOLDERID_ProgramFilesCommon), 0u, nullptr, _))
        .WillOnce(Return(E_FAIL));
    EXPECT_FALSE(helper.GetInstalledPath(path));
    EXPECT_EQ(path, L"");
}

TEST_F(LogControllerTest, TrustedCopyBesideTheExecutableIsStartedAndStoppedInOrder)
{
    CallRecord record;
    HostFolder folder(L"lognex_signed");
    EXPECT_EQ(folder.Run(m_app), 0u);
    const std::string app = Narrow(m_app);
    EXPECT_THAT(record.Read(), ElementsAre("Load", "DllAddRef()", "Start(" + app + ")", "Stop(0," + app + ")",
                                           "DllRelease()", "Unload"));
}

TEST_F(LogControllerTest, StatusIsWhatStartReturned)
{
    CallRecord record;
    SetEnvironmentVariableW(L"TELVANA_LOGNEX_START_RESULT", L"1234");
    HostFolder folder(L"lognex_holding");
    EXPECT_EQ(folder.Run(L"Kavo"), 1234u);
    EXPECT_THAT(record.Read(), ElementsAre("Load", "DllAddRef()", "Start(Kavo)", "Stop(0,Kavo)", "DllRelease()",
                                           "Unload"));
}

TEST_F(LogControllerTest, UntrustedCopyBesideTheExecutableIsNeverLoaded)
{
    for (const wchar_t* variant :
         {L"lognex_unsigned", L"lognex_other_publisher", L"lognex_case_publisher", L"lognex_untrusted_root"}) {
        SCOPED_TRACE(Narrow(variant));
        CallRecord record;
        HostFolder folder(variant);
        EXPECT_EQ(folder.Run(L"Kavo"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_FALSE(record.Exists());
    }
}

TEST_F(LogControllerTest, MissingExportStopsResolvingButKeepsWhatWasResolved)
{
    CallRecord record;
    HostFolder folder(L"lognex_no_flush");
    EXPECT_EQ(folder.Run(m_app), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    // "Start" is never called; "Stop", resolved before the gap, still is on the way out.
    const std::string app = Narrow(m_app);
    EXPECT_THAT(record.Read(), ElementsAre("Load", "DllAddRef()", "Stop(0," + app + ")", "DllRelease()", "Unload"));
}

TEST_F(LogControllerTest, ReferenceExportsAreOptional)
{
    CallRecord record;
    HostFolder folder(L"lognex_no_refs");
    EXPECT_EQ(folder.Run(m_app), 0u);
    const std::string app = Narrow(m_app);
    EXPECT_THAT(record.Read(), ElementsAre("Load", "Start(" + app + ")", "Stop(0," + app + ")", "Unload"));
}

TEST_F(LogControllerTest, LocalCopyWinsOverTheRegisteredControllerPath)
{
    // The registered one has no reference exports, the local one has: the record tells them apart.
    PropertySet set(m_app, Variant(L"lognex_no_refs"));
    CallRecord record;
    HostFolder folder(L"lognex_signed");
    EXPECT_EQ(folder.Run(m_app), 0u);
    const Calls calls = record.Read();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[1], "DllAddRef()");
}

TEST_F(LogControllerTest, RegisteredControllerPathOfTheApplication)
{
    PropertySet set(m_app, Variant(L"lognex_signed"));
    CallRecord record;
    const std::string app = Narrow(m_app);
    {
        AutoLogController controller(m_app.c_str());
        EXPECT_EQ(controller.GetStatus(), 0u);
        EXPECT_NE(controller.GetModule(), nullptr);
        EXPECT_EQ(controller.Start(), 0u);
        EXPECT_EQ(controller.Stop(1), 0u);
        EXPECT_THAT(record.Read(),
                    ElementsAre("Load", "DllAddRef()", "Start(" + app + ")", "Start(" + app + ")", "Stop(1," + app + ")"));
    }
    EXPECT_THAT(record.Read(), ElementsAre("Load", "DllAddRef()", "Start(" + app + ")", "Start(" + app + ")",
                                           "Stop(1," + app + ")", "Stop(0," + app + ")", "DllRelease()", "Unload"));

    // The file checked is the file loaded: it cannot be swapped in between.
    TestUtil::ScratchDir dir;
    ASSERT_TRUE(CopyFileW(Variant(L"lognex_signed").c_str(), dir.File(L"Lognex.dll").c_str(), FALSE));
    const std::wstring swapApp = m_app + L"Swap";
    PropertySet swapSet(swapApp, dir.File(L"Lognex.dll"));
    auto throwing = std::make_unique<SwappingFinder>(dir.File(L"Lognex.dll"));
    throwing->fail = true;
    ControllerWithFinder failed(swapApp.c_str(), std::move(throwing));
    EXPECT_EQ(failed.GetStatus(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
    EXPECT_TRUE(CopyFileW(Variant(L"lognex_signed").c_str(), dir.File(L"Lognex.dll").c_str(), FALSE)) << "still held";
    auto finder = std::make_unique<SwappingFinder>(dir.File(L"Lognex.dll"));
    const bool& swapped = finder->swapped;
    ControllerWithFinder controller(swapApp.c_str(), std::move(finder));
    wchar_t loaded[MAX_PATH] = {};
    EXPECT_FALSE(swapped);
    EXPECT_TRUE(GetModuleFileNameW(controller.GetModule(), loaded, MAX_PATH) && VerifyFileSignature(loaded));
}

TEST_F(LogControllerTest, RegisteredUntrustedControllerIsRefusedWithoutFallingBack)
{
    InstalledLocation location;
    TestUtil::ScratchDir installed;
    CreateDirectoryW(installed.File(L"OvSvcHost").c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(Variant(L"lognex_signed").c_str(), installed.File(L"OvSvcHost\\Lognex.dll").c_str(), FALSE));
    location.Set(installed.Path());

    PropertySet set(m_app, Variant(L"lognex_unsigned"));
    CallRecord record;
    AutoLogController controller(m_app.c_str());
    EXPECT_EQ(controller.GetStatus(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(controller.GetModule(), nullptr);
    // Nothing bound: both calls do nothing.
    EXPECT_EQ(controller.Start(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(controller.Stop(0), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(controller.GetStatus(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(record.Exists());
}

TEST_F(LogControllerTest, InstalledCopyOnlyWhenThePropertiesCannotBeHad)
{
    InstalledLocation location;
    TestUtil::ScratchDir installed;
    CreateDirectoryW(installed.File(L"OvSvcHost").c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(Variant(L"lognex_signed").c_str(), installed.File(L"OvSvcHost\\Lognex.dll").c_str(), FALSE));
    location.Set(installed.Path());
    HostFolder folder;

    {
        // The default set has no controller path: a trusted installed copy is not looked at.
        CallRecord record;
        EXPECT_EQ(folder.Run(L"Kavo"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_FALSE(record.Exists());
    }
    {
        // A name without a property set has no properties at all: the installed copy is used.
        CallRecord record;
        EXPECT_EQ(folder.Run(m_app), 0u);
        const std::string app = Narrow(m_app);
        EXPECT_THAT(record.Read(), ElementsAre("Load", "DllAddRef()", "Start(" + app + ")", "Stop(0," + app + ")",
                                               "DllRelease()", "Unload"));
    }
    {
        // An installed copy that is not trusted is refused.
        ASSERT_TRUE(CopyFileW(Variant(L"lognex_other_publisher").c_str(),
                              installed.File(L"OvSvcHost\\Lognex.dll").c_str(), FALSE));
        CallRecord record;
        EXPECT_EQ(folder.Run(m_app), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_FALSE(record.Exists());
    }
}
