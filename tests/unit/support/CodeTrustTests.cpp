#include "Lumetra/AuthenticodePolicy.h"
#include "Lumetra/CodeTrust.h"
#include "Lumetra/Logger.h"
#include "Lumetra/TrustedList.h"

#include "TestPki.h"
#include "TrustTestState.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Lumetra;

namespace {

const wchar_t kHalvarKey[] = L"Software\\Orvane\\Halvar";

// The verifier reads machine-wide state (the platform-core key, the installed trusted list and
// the refresh atom). Tests that touch it run one at a time across processes, start from a clean
// state and put back what was there.
class MachineTrustState {
public:
    // The list, the signal and the test mutex are handled by m_list; the validation DLL's key here.
    MachineTrustState()
    {
        SaveHalvar();
        DeleteHalvar();
    }
    ~MachineTrustState()
    {
        DeleteHalvar();
        RestoreHalvar();
    }
    MachineTrustState(const MachineTrustState&) = delete;
    MachineTrustState& operator=(const MachineTrustState&) = delete;

    static void SetHalvarValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kHalvarKey, 0, nullptr, 0,
                                                 KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        if (name != nullptr)
            RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
    static void SetHalvarText(const wchar_t* name, const std::wstring& text)
    {
        SetHalvarValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };

    void SaveHalvar()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHalvarKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
            return;
        m_hadHalvar = true;
        for (DWORD i = 0;; ++i) {
            wchar_t name[256];
            DWORD nameChars = 256;
            BYTE data[4096];
            DWORD size = sizeof(data);
            DWORD type = 0;
            if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &size) != ERROR_SUCCESS)
                break;
            m_halvar.push_back({std::wstring(name, nameChars), type, std::vector<BYTE>(data, data + size)});
        }
        RegCloseKey(key);
    }
    static void DeleteHalvar()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kHalvarKey);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kHalvarKey, KEY_WOW64_64KEY, 0);
    }
    void RestoreHalvar()
    {
        if (!m_hadHalvar)
            return;
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kHalvarKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return;
        for (const Value& value : m_halvar)
            RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        RegCloseKey(key);
    }

    InstalledListState m_list;
    bool m_hadHalvar = false;
    std::vector<Value> m_halvar;
};

std::wstring Signed(const wchar_t* name)
{
    return TestPki::SignedFile(name);
}

// The PKI's lists in the form the checks take.
struct TrustLists {
    std::vector<std::wstring> names;
    std::vector<const wchar_t*> org;
    std::vector<std::vector<BYTE>> roots;
    std::vector<const BYTE*> sha;
    std::vector<std::wstring> serials;
    std::vector<const wchar_t*> ser;

    TrustLists& Name(const std::wstring& name)
    {
        names.push_back(name);
        return *this;
    }
    TrustLists& Root(const wchar_t* key)
    {
        roots.push_back(TestPki::Thumbprint(key));
        return *this;
    }
    TrustLists& Serial(const std::wstring& serial)
    {
        serials.push_back(serial);
        return *this;
    }
    const wchar_t* const* Org()
    {
        org.clear();
        for (const auto& n : names)
            org.push_back(n.c_str());
        org.push_back(nullptr);
        return org.data();
    }
    const BYTE* const* Sha()
    {
        sha.clear();
        for (const auto& r : roots)
            sha.push_back(r.size() == 20 ? r.data() : nullptr);
        return sha.data();
    }
    const wchar_t* const* Ser()
    {
        ser.clear();
        for (const auto& s : serials)
            ser.push_back(s.c_str());
        ser.push_back(nullptr);
        return ser.data();
    }
    int Verify(const wchar_t* file)
    {
        return VerifyAuthenticodePublisher(Signed(file).c_str(), Org(), Sha(), static_cast<DWORD>(roots.size()),
                                           Ser());
    }
};

TrustLists PublisherUnderTestRoot()
{
    TrustLists lists;
    lists.Name(TestPki::Value(L"PUBLISHER_NAME")).Root(L"ROOT_SHA1");
    return lists;
}

std::wstring ToLower(std::wstring text)
{
    for (auto& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

class CodeTrust : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(TestPki::TrustTestRoot()); }
};

// ---------------------------------------------------------------------------------------------
// Whole check through the process-wide verifier (no platform core, no installed list).

TEST_F(CodeTrust, FileTrustFollowsSignatureWithBuiltInData)
{
    MachineTrustState state;
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_trusted.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_holding.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_case_publisher.dll").c_str()))
        << "signer names compare case-insensitively";
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_unsigned.dll").c_str()));
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_tampered.dll").c_str()));
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_other_publisher.dll").c_str()));
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_untrusted_root.dll").c_str()));
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_grafted_signer.dll").c_str()));
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"does_not_exist.dll").c_str()));
    // The built-in data refuses no serial.
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_listed_serial.dll").c_str()));
}

TEST_F(CodeTrust, EmptyPathIsInvalidParameter)
{
    MachineTrustState state;
    EXPECT_EQ(87u, CheckFileTrust(nullptr));
    EXPECT_EQ(87u, CheckFileTrust(L""));
    CTrustVerifier verifier;
    EXPECT_EQ(87u, verifier.CheckFile(nullptr));
    EXPECT_EQ(87u, verifier.CheckFile(L""));
}

TEST_F(CodeTrust, TimeStampedSignatureIsVerifiedAtItsSigningTime)
{
    MachineTrustState state;
    // The certificate was valid in 2019-2020 only.
    EXPECT_EQ(5u, CheckFileTrust(Signed(L"sample_expired.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_expired_ts.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_trusted_ts.dll").c_str()));
    EXPECT_EQ(0u, CheckFileTrust(Signed(L"sample_expired_cs.dll").c_str())) << "older counter-signature form";
}

// The library's error messages.
struct ErrorLog : ILoggingHandler {
    std::wstring last;
    void HandleLog(unsigned int level, const wchar_t*, const wchar_t*, int, const wchar_t* message) override
    {
        if (level == 2)
            last = message;
    }
};

// A stamp that is not genuine gives no signing time, so the expired publisher is judged now.
TEST_F(CodeTrust, StampThatIsNotGenuineIsIgnored)
{
    MachineTrustState state;
    const struct {
        const wchar_t* file;
        const wchar_t* reason;
    } cases[] = {{L"sample_expired_ts.dll", L""},
                 {L"sample_expired_cs.dll", L""},
                 {L"sample_expired_ts_untrusted_tsa.dll", L"does not chain at its time"},
                 {L"sample_expired_cs_untrusted_tsa.dll", L"does not chain at its time"},
                 {L"sample_expired_cs_not_tsa.dll", L"does not chain at its time"},
                 {L"sample_expired_ts_broken.dll", L"signature does not verify"},
                 {L"sample_expired_cs_broken.dll", L"signature does not verify"},
                 {L"sample_expired_ts_copied.dll", L"does not cover this signer's signature"},
                 {L"sample_expired_cs_copied.dll", L"does not cover this signer's signature"}};
    ErrorLog log;
    ASSERT_EQ(0u, CLogger::RegisterHandler(&log));
    for (const auto& c : cases) {
        SCOPED_TRACE(TestUtil::Narrow(c.file));
        log.last.clear();
        EXPECT_EQ(c.reason[0] == L'\0' ? 0u : 5u, CheckFileTrust(Signed(c.file).c_str()));
        if (c.reason[0] == L'\0')
            EXPECT_EQ(L"", log.last);
        else
            EXPECT_NE(std::wstring::npos, log.last.find(c.reason)) << TestUtil::Narrow(log.last);
    }
    CLogger::UnregisterHandler(&log);
}

// ---------------------------------------------------------------------------------------------
// Publisher check with explicit lists.

TEST_F(CodeTrust, PublisherCheckAppliesEachList)
{
    TrustLists lists = PublisherUnderTestRoot();
    EXPECT_EQ(1, lists.Verify(L"sample_trusted.dll"));
    EXPECT_EQ(0, lists.Verify(L"sample_holding.dll")) << "name not listed";
    EXPECT_EQ(0, lists.Verify(L"sample_unsigned.dll"));
    EXPECT_EQ(0, lists.Verify(L"sample_tampered.dll"));
    EXPECT_EQ(0, lists.Verify(L"sample_grafted_signer.dll")) << "a trusted signer of another file's signature";
    EXPECT_EQ(0, lists.Verify(L"sample_grafted_alone.dll")) << "the same signer alone";

    TrustLists otherRoot;
    otherRoot.Name(TestPki::Value(L"PUBLISHER_NAME")).Root(L"SECOND_ROOT_SHA1");
    EXPECT_EQ(0, otherRoot.Verify(L"sample_trusted.dll")) << "a trusted chain whose root is not listed";
    EXPECT_EQ(0, otherRoot.Verify(L"sample_forged_root.dll")) << "a listed root reached only by a broken chain";
    EXPECT_EQ(1, lists.Verify(L"sample_forged_root.dll"));

    TrustLists anyName;
    anyName.Root(L"ROOT_SHA1");
    EXPECT_EQ(1, VerifyAuthenticodePublisher(Signed(L"sample_other_publisher.dll").c_str(), nullptr, anyName.Sha(), 1,
                                             nullptr))
        << "no name list accepts any signer";
    EXPECT_EQ(1, VerifyAuthenticodePublisher(Signed(L"sample_trusted.dll").c_str(), lists.Org(), nullptr, 0, nullptr))
        << "no thumbprint list accepts any root";
    const BYTE* const nullEntry[] = {nullptr};
    EXPECT_EQ(0, VerifyAuthenticodePublisher(Signed(L"sample_trusted.dll").c_str(), lists.Org(), nullEntry, 1, nullptr))
        << "a null thumbprint never matches";
    EXPECT_EQ(0, VerifyAuthenticodePublisher(nullptr, lists.Org(), nullptr, 0, nullptr));
    EXPECT_EQ(0, VerifyAuthenticodePublisher(L"", lists.Org(), nullptr, 0, nullptr));
}

TEST_F(CodeTrust, ListedSerialIsRefusedAndSecondSignerCanPass)
{
    TrustLists lists = PublisherUnderTestRoot();
    EXPECT_EQ(1, lists.Verify(L"sample_listed_serial.dll"));
    EXPECT_EQ(1, lists.Verify(L"sample_two_signers.dll"));

    lists.Serial(ToLower(TestPki::Value(L"LISTED_SERIAL")));
    EXPECT_EQ(0, lists.Verify(L"sample_listed_serial.dll"));
    EXPECT_EQ(1, lists.Verify(L"sample_trusted.dll"));
    EXPECT_EQ(1, lists.Verify(L"sample_two_signers.dll")) << "first signer refused, second passes";

    TrustLists noPublisherName;
    noPublisherName.Name(TestPki::Value(L"OTHER_PUBLISHER_NAME")).Root(L"ROOT_SHA1");
    noPublisherName.Serial(TestPki::Value(L"LISTED_SERIAL"));
    EXPECT_EQ(0, noPublisherName.Verify(L"sample_two_signers.dll")) << "both signers refused";
}

// Some platforms cannot decode a signature of several signers at all; each signer is then
// checked from a message of its own, with the file's digest checked by the library.
TEST_F(CodeTrust, SignatureOfSeveralSignersIsCheckedPerSigner)
{
    std::vector<internal::SignerMessage> messages;
    const std::wstring twoSigners = Signed(L"sample_two_signers.dll");
    ASSERT_TRUE(internal::OpenSignaturePerSigner(twoSigners.c_str(), &messages));
    ASSERT_EQ(2u, messages.size());
    for (const internal::SignerMessage& m : messages)
        EXPECT_EQ(0, internal::VerifyPeImageIntegrity(twoSigners.c_str(), m.message, m.store));

    // One byte changed inside the first section's data.
    std::string image = TestUtil::ReadFileBytes(twoSigners);
    const DWORD pe = *reinterpret_cast<const DWORD*>(&image[0x3C]);
    const WORD optionalSize = *reinterpret_cast<const WORD*>(&image[pe + 20]);
    const DWORD rawOffset = *reinterpret_cast<const DWORD*>(&image[pe + 24 + optionalSize + 20]);
    image[rawOffset + 16] = static_cast<char>(image[rawOffset + 16] ^ 0x01);
    TestUtil::ScratchDir dir;
    const std::wstring tampered = dir.File(L"two_signers_tampered.dll");
    ASSERT_TRUE(TestUtil::WriteFileBytes(tampered, image));
    for (const internal::SignerMessage& m : messages)
        EXPECT_EQ(TRUST_E_BAD_DIGEST, internal::VerifyPeImageIntegrity(tampered.c_str(), m.message, m.store));
    internal::CloseSignerMessages(&messages);
    EXPECT_TRUE(messages.empty());

    TrustLists lists = PublisherUnderTestRoot();
    EXPECT_EQ(0, VerifyAuthenticodePublisher(tampered.c_str(), lists.Org(), lists.Sha(), 1, nullptr));
    EXPECT_FALSE(internal::OpenSignaturePerSigner(Signed(L"sample_unsigned.dll").c_str(), &messages));
    EXPECT_TRUE(messages.empty());

    // The second signer's own signature broken, the image as signed: that signer never passes.
    const std::wstring broken = Signed(L"sample_two_signers_broken.dll");
    ASSERT_TRUE(internal::OpenSignaturePerSigner(broken.c_str(), &messages));
    EXPECT_EQ(0, internal::VerifySignerSignature(messages[0].message, messages[0].store, 0));
    EXPECT_EQ(TRUST_E_BAD_DIGEST, internal::VerifySignerSignature(messages[1].message, messages[1].store, 0));
    internal::CloseSignerMessages(&messages);
    lists.Serial(TestPki::Value(L"LISTED_SERIAL"));
    EXPECT_EQ(0, lists.Verify(L"sample_two_signers_broken.dll"));
}

TEST_F(CodeTrust, SigningTimeComesFromTheTimeStamp)
{
    struct Expectation {
        const wchar_t* file;
        WORD year, month, day, hour, minute, second;
    };
    // Time stamps made at fixed times: 2023-11-14 22:13:20 and 2020-05-20 18:40:00 UTC.
    const Expectation stamped[] = {{L"sample_trusted_ts.dll", 2023, 11, 14, 22, 13, 20},
                                   {L"sample_expired_ts.dll", 2020, 5, 20, 18, 40, 0},
                                   {L"sample_expired_cs.dll", 2020, 5, 20, 18, 40, 0}};
    for (const Expectation& e : stamped) {
        HCERTSTORE store = nullptr;
        HCRYPTMSG message = nullptr;
        ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, Signed(e.file).c_str(),
                                     CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                     nullptr, nullptr, nullptr, &store, &message, nullptr));
        FILETIME time = {};
        EXPECT_EQ(0u, internal::GetSignerSigningTime(message, 0, &time));
        SYSTEMTIME system = {};
        ASSERT_TRUE(FileTimeToSystemTime(&time, &system));
        EXPECT_EQ(e.year, system.wYear);
        EXPECT_EQ(e.month, system.wMonth);
        EXPECT_EQ(e.day, system.wDay);
        EXPECT_EQ(e.hour, system.wHour);
        EXPECT_EQ(e.minute, system.wMinute);
        EXPECT_EQ(e.second, system.wSecond);
        CertCloseStore(store, 0);
        CryptMsgClose(message);
    }

    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, Signed(L"sample_trusted.dll").c_str(),
                                 CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr,
                                 nullptr, nullptr, &store, &message, nullptr));
    FILETIME time = {1, 1};
    EXPECT_EQ(0u, internal::GetSignerSigningTime(message, 0, &time));
    EXPECT_EQ(0u, time.dwLowDateTime);
    EXPECT_EQ(0u, time.dwHighDateTime);
    CertCloseStore(store, 0);
    CryptMsgClose(message);
}

// ---------------------------------------------------------------------------------------------
// The time-stamp chain policy step.

struct SignerChain {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    PCCERT_CHAIN_CONTEXT chain = nullptr;

    // useMessageStore false: the chain engine sees only the system stores.
    SignerChain(const wchar_t* file, bool useMessageStore)
    {
        if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, Signed(file).c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr))
            return;
        DWORD size = 0;
        CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size);
        std::vector<BYTE> info(size);
        if (!CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size))
            return;
        certificate = CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                         reinterpret_cast<PCERT_INFO>(info.data()));
        if (certificate == nullptr)
            return;
        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof(para);
        CertGetCertificateChain(nullptr, certificate, nullptr, useMessageStore ? store : nullptr, &para, 0, nullptr,
                                &chain);
    }
    ~SignerChain()
    {
        if (chain != nullptr)
            CertFreeCertificateChain(chain);
        if (certificate != nullptr)
            CertFreeCertificateContext(certificate);
        if (store != nullptr)
            CertCloseStore(store, 0);
        if (message != nullptr)
            CryptMsgClose(message);
    }
};

TEST_F(CodeTrust, TimeStampPolicyAnswersForTrustedAndUntrustedChains)
{
    SignerChain trusted(L"sample_trusted.dll", true);
    ASSERT_NE(nullptr, trusted.chain);
    ASSERT_EQ(0u, trusted.chain->TrustStatus.dwErrorStatus);

    // Where the platform lacks this policy it says so; the layer must still answer.
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof(para);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, trusted.chain, &para, &status)) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    }

    DWORD error = 0xFFFFFFFF;
    EXPECT_TRUE(internal::VerifyAuthenticodeTimestampPolicy(trusted.chain, &error));
    EXPECT_EQ(0u, error);

    SignerChain untrustedRoot(L"sample_untrusted_root.dll", true);
    ASSERT_NE(nullptr, untrustedRoot.chain);
    ASSERT_NE(0u, untrustedRoot.chain->TrustStatus.dwErrorStatus);
    error = 0;
    EXPECT_TRUE(internal::VerifyAuthenticodeTimestampPolicy(untrustedRoot.chain, &error));
    EXPECT_NE(0u, error);

    // Without the message's certificates the chain stops below any root.
    SignerChain partial(L"sample_untrusted_root.dll", false);
    ASSERT_NE(nullptr, partial.chain);
    ASSERT_NE(0u, partial.chain->TrustStatus.dwErrorStatus);
    error = 0;
    EXPECT_TRUE(internal::VerifyAuthenticodeTimestampPolicy(partial.chain, &error));
    EXPECT_NE(0u, error);

    EXPECT_FALSE(internal::VerifyAuthenticodeTimestampPolicy(nullptr, &error));
    EXPECT_FALSE(internal::VerifyAuthenticodeTimestampPolicy(trusted.chain, nullptr));
}

// A platform policy function whose answers the test sets.
struct FakePolicy {
    static int timestampCalls;
    static int authenticodeCalls;
    static BOOL timestampResult;
    static DWORD timestampLastError;
    static DWORD timestampStatus;
    static DWORD authenticodeStatus;

    static void Reset()
    {
        timestampCalls = authenticodeCalls = 0;
        timestampResult = FALSE;
        timestampLastError = ERROR_FILE_NOT_FOUND;
        timestampStatus = authenticodeStatus = 0;
    }
    static BOOL WINAPI Call(LPCSTR policy, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA,
                            PCERT_CHAIN_POLICY_STATUS status)
    {
        if (policy == CERT_CHAIN_POLICY_AUTHENTICODE_TS) {
            ++timestampCalls;
            status->dwError = timestampStatus;
            SetLastError(timestampLastError);
            return timestampResult;
        }
        if (policy == CERT_CHAIN_POLICY_AUTHENTICODE) {
            ++authenticodeCalls;
            status->dwError = authenticodeStatus;
            return TRUE;
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
};
int FakePolicy::timestampCalls;
int FakePolicy::authenticodeCalls;
BOOL FakePolicy::timestampResult;
DWORD FakePolicy::timestampLastError;
DWORD FakePolicy::timestampStatus;
DWORD FakePolicy::authenticodeStatus;

TEST(AuthenticodeTimestampPolicy, PlatformAnswerIsUsedWhereThePolicyExists)
{
    CERT_CHAIN_CONTEXT chain = {};
    chain.cbSize = sizeof(chain);
    DWORD error = 0;

    FakePolicy::Reset();
    FakePolicy::timestampResult = TRUE;
    FakePolicy::timestampStatus = static_cast<DWORD>(CERT_E_EXPIRED);
    EXPECT_TRUE(internal::VerifyAuthenticodeTimestampPolicyWith(&FakePolicy::Call, &chain, &error));
    EXPECT_EQ(static_cast<DWORD>(CERT_E_EXPIRED), error);
    EXPECT_EQ(0, FakePolicy::authenticodeCalls);

    FakePolicy::Reset();
    FakePolicy::timestampLastError = ERROR_OUTOFMEMORY;
    EXPECT_FALSE(internal::VerifyAuthenticodeTimestampPolicyWith(&FakePolicy::Call, &chain, &error));
    EXPECT_EQ(0, FakePolicy::authenticodeCalls) << "only a missing policy is answered otherwise";
}

TEST(AuthenticodeTimestampPolicy, MissingPolicyIsAnsweredFromAnErrorFreeChain)
{
    CERT_CHAIN_CONTEXT chain = {};
    chain.cbSize = sizeof(chain);
    DWORD error = 0xFFFFFFFF;

    FakePolicy::Reset();
    EXPECT_TRUE(internal::VerifyAuthenticodeTimestampPolicyWith(&FakePolicy::Call, &chain, &error));
    EXPECT_EQ(0u, error);
    EXPECT_EQ(1, FakePolicy::authenticodeCalls);

    FakePolicy::Reset();
    FakePolicy::authenticodeStatus = static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
    EXPECT_TRUE(internal::VerifyAuthenticodeTimestampPolicyWith(&FakePolicy::Call, &chain, &error));
    EXPECT_EQ(static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), error);

    // A chain with errors never passes, even when the fallback policy overlooks them.
    FakePolicy::Reset();
    chain.TrustStatus.dwErrorStatus = CERT_TRUST_IS_PARTIAL_CHAIN;
    EXPECT_TRUE(internal::VerifyAuthenticodeTimestampPolicyWith(&FakePolicy::Call, &chain, &error));
    EXPECT_EQ(static_cast<DWORD>(CERT_E_CHAINING), error);
}

// ---------------------------------------------------------------------------------------------
// Module of an address.

TEST_F(CodeTrust, ModuleOfAddressFindsTheContainingModule)
{
    wchar_t path[MAX_PATH] = {};
    static int inThisExe = 0;
    ASSERT_EQ(0u, GetModuleOfAddress(&inThisExe, path));
    wchar_t expected[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, expected, MAX_PATH);
    EXPECT_EQ(0, _wcsicmp(expected, path));

    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const void* inKernel = reinterpret_cast<const void*>(GetProcAddress(kernel, "GetTickCount"));
    wchar_t kernelPath[MAX_PATH] = {};
    GetModuleFileNameW(kernel, expected, MAX_PATH);
    ASSERT_EQ(0u, GetModuleOfAddress(inKernel, kernelPath));
    EXPECT_EQ(0, _wcsicmp(expected, kernelPath));

    EXPECT_EQ(87u, GetModuleOfAddress(nullptr, path));
    EXPECT_EQ(87u, GetModuleOfAddress(&inThisExe, nullptr));
}

TEST_F(CodeTrust, AddressOutsideEveryModuleIsInvalidParameter)
{
    MachineTrustState state;
    void* heap = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, heap);
    wchar_t path[MAX_PATH] = {};
    EXPECT_EQ(5u, GetModuleOfAddress(heap, path));
    EXPECT_EQ(L'\0', path[0]);
    EXPECT_EQ(87u, CheckCallerModuleTrust(heap));
    EXPECT_EQ(87u, CheckCallerModuleTrust(nullptr));
    VirtualFree(heap, 0, MEM_RELEASE);
}

TEST_F(CodeTrust, CallerModuleTrustChecksTheModuleFile)
{
    MachineTrustState state;
    HMODULE trusted = LoadLibraryW(Signed(L"sample_trusted.dll").c_str());
    ASSERT_NE(nullptr, trusted);
    const void* inTrusted = reinterpret_cast<const void*>(GetProcAddress(trusted, "TrustSampleValue"));
    ASSERT_NE(nullptr, inTrusted);
    EXPECT_EQ(0u, CheckCallerModuleTrust(inTrusted));
    FreeLibrary(trusted);

    static int inThisExe = 0;
    EXPECT_EQ(5u, CheckCallerModuleTrust(&inThisExe)) << "the test executable is not signed";

    // An unsigned module of a 283-character name, whose name cut to the room of 259 is a trusted copy.
    TestUtil::ScratchDir dir;
    const std::wstring folder = dir.File(std::wstring(229 - dir.Path().size(), L'f'));
    const std::wstring longName = L"\\\\?\\" + folder + L"\\" + std::wstring(48, L'm') + L".dll";
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(Signed(L"sample_unsigned.dll").c_str(), longName.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Signed(L"sample_trusted.dll").c_str(), longName.substr(4, 259).c_str(), FALSE));
    HMODULE cut = LoadLibraryW(longName.c_str());
    ASSERT_NE(nullptr, cut);
    EXPECT_NE(0u, CheckCallerModuleTrust(reinterpret_cast<const void*>(GetProcAddress(cut, "TrustSampleValue"))));
    FreeLibrary(cut);
    DeleteFileW(longName.c_str());
}

// ---------------------------------------------------------------------------------------------
// Platform core registration and the outside validation service.

TEST_F(CodeTrust, PlatformCoreVersionFromRegistry)
{
    MachineTrustState state;
    {
        CTrustVerifier verifier;
        EXPECT_EQ(0u, verifier.PlatformCoreVersion()) << "no platform core";
        EXPECT_EQ(nullptr, verifier.ValidationInterface());
    }
    struct Case {
        const wchar_t* text;
        DWORD version;
        DWORD flags;
    };
    const Case cases[] = {{L"16.0", 1504, 4},  {L"15.7", 1507, 512}, {L"15.4", 1504, 4}, {L"15.5", 1505, 512},
                          {L"16.4", 1604, 512}, {L"15.3", 1504, 4},  {L"14.9", 1504, 4}, {L"abc", 1504, 4},
                          {L"15", 1504, 4}};
    for (const Case& c : cases) {
        MachineTrustState::SetHalvarText(L"system_core_version", c.text);
        CTrustVerifier verifier;
        EXPECT_EQ(c.version, verifier.PlatformCoreVersion()) << c.text;
        EXPECT_EQ(c.flags, verifier.ValidationRequestFlags()) << c.text;
    }
    const DWORD number = 1507;
    MachineTrustState::SetHalvarValue(L"system_core_version", REG_DWORD, &number, sizeof(number));
    CTrustVerifier wrongType;
    EXPECT_EQ(1504u, wrongType.PlatformCoreVersion());
}

class ValidationService : public CodeTrust {
protected:
    void SetAnswer(DWORD status, DWORD capability)
    {
        SetEnvironmentVariableW(L"TELVANA_OVGATE_STATUS", std::to_wstring(status).c_str());
        SetEnvironmentVariableW(L"TELVANA_OVGATE_CAPABILITY", std::to_wstring(capability).c_str());
        SetEnvironmentVariableW(L"TELVANA_OVGATE_CALLS", nullptr);
        SetEnvironmentVariableW(L"TELVANA_OVGATE_LAST_FLAGS", nullptr);
    }
    static std::wstring Env(const wchar_t* name)
    {
        wchar_t text[MAX_PATH] = {};
        GetEnvironmentVariableW(name, text, MAX_PATH);
        return text;
    }
    static void Register(const wchar_t* version, const wchar_t* ovgateFolder)
    {
        MachineTrustState::SetHalvarText(L"system_core_version", version);
        MachineTrustState::SetHalvarText(L"szInstallDir64", Signed(ovgateFolder));
    }
};

TEST_F(ValidationService, AnswerCountsOnlyWithTheCapabilityOfTheCoreVersion)
{
    MachineTrustState state;
    const std::wstring unsignedFile = Signed(L"sample_unsigned.dll");

    Register(L"16.0", L"ovgate_signed");
    CTrustVerifier legacy;
    ASSERT_NE(nullptr, legacy.ValidationInterface());
    SetAnswer(2, 1);
    EXPECT_EQ(0u, legacy.CheckFile(unsignedFile.c_str()));
    EXPECT_EQ(L"4", Env(L"TELVANA_OVGATE_LAST_FLAGS"));
    EXPECT_EQ(unsignedFile, Env(L"TELVANA_OVGATE_LAST_PATH"));
    SetAnswer(2, 8);
    EXPECT_EQ(5u, legacy.CheckFile(unsignedFile.c_str())) << "capability 8 needs core 1505";
    EXPECT_EQ(L"1", Env(L"TELVANA_OVGATE_CALLS"));
    EXPECT_EQ(0u, legacy.CheckFile(Signed(L"sample_trusted.dll").c_str())) << "the local check still runs";
    SetAnswer(0, 1);
    EXPECT_EQ(5u, legacy.CheckFile(unsignedFile.c_str()));

    Register(L"15.7", L"ovgate_signed");
    CTrustVerifier current;
    ASSERT_NE(nullptr, current.ValidationInterface());
    SetAnswer(2, 8);
    EXPECT_EQ(0u, current.CheckFile(unsignedFile.c_str()));
    EXPECT_EQ(L"512", Env(L"TELVANA_OVGATE_LAST_FLAGS"));
    SetAnswer(2, 1);
    EXPECT_EQ(5u, current.CheckFile(unsignedFile.c_str()));
    SetAnswer(3, 0);
    EXPECT_EQ(5u, current.AskValidationService(unsignedFile.c_str()));
}

TEST_F(ValidationService, UnsignedOrAlteredValidationDllIsNotUsed)
{
    MachineTrustState state;
    SetAnswer(2, 9);
    Register(L"15.7", L"ovgate_unsigned");
    CTrustVerifier unsignedDll;
    EXPECT_EQ(nullptr, unsignedDll.ValidationInterface());
    EXPECT_EQ(5u, unsignedDll.CheckFile(Signed(L"sample_unsigned.dll").c_str()));

    Register(L"15.7", L"ovgate_tampered");
    CTrustVerifier tampered;
    EXPECT_EQ(nullptr, tampered.ValidationInterface());
    // A valid signature of a publisher that the built-in data does not name.
    Register(L"15.7", L"ovgate_other_publisher");
    CTrustVerifier otherPublisher;
    EXPECT_EQ(nullptr, otherPublisher.ValidationInterface());
}

TEST_F(ValidationService, NoPlatformCoreMeansNoValidationDll)
{
    MachineTrustState state;
    TestUtil::ScratchDir dir;
    ASSERT_TRUE(CopyFileW(Signed(L"ovgate_signed\\Ovgate.dll").c_str(), dir.File(L"Ovgate.dll").c_str(), FALSE));
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
    {
        CTrustVerifier verifier;
        EXPECT_EQ(nullptr, verifier.ValidationInterface());
    }
    // With the key but no install folder the current directory is still never looked in.
    MachineTrustState::SetHalvarValue(nullptr, 0, nullptr, 0);
    {
        CTrustVerifier verifier;
        EXPECT_EQ(1504u, verifier.PlatformCoreVersion());
        EXPECT_EQ(nullptr, verifier.ValidationInterface());
    }
    SetCurrentDirectoryW(previous);
}

TEST_F(ValidationService, InterfaceLookupSearchesInstallFolderThenBesideTheModule)
{
    MachineTrustState state;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(87u, NotComDllGetInterface(std::wstring(260, L'a').c_str(), "KvlValidationControl", &out, nullptr));
    EXPECT_EQ(nullptr, out);

    out = nullptr;
    EXPECT_EQ(0u, NotComDllGetInterface(Signed(L"ovgate_signed\\Ovgate.dll").c_str(), "KvlValidationControl", &out,
                                        nullptr));
    EXPECT_NE(nullptr, out);
    EXPECT_EQ(static_cast<DWORD>(TRUST_E_NOSIGNATURE),
              NotComDllGetInterface(Signed(L"ovgate_unsigned\\Ovgate.dll").c_str(), "KvlValidationControl", &out,
                                    nullptr));
    EXPECT_EQ(nullptr, out);
    // An intact signature under a root nobody trusts is refused before anything is loaded.
    EXPECT_EQ(static_cast<DWORD>(CERT_E_UNTRUSTEDROOT),
              NotComDllGetInterface(Signed(L"ovgate_untrusted_root\\Ovgate.dll").c_str(), "KvlValidationControl",
                                    &out, nullptr));
    EXPECT_EQ(nullptr, out);

    // Not in the install folder: beside the given module.
    TestUtil::ScratchDir empty;
    TestUtil::ScratchDir beside;
    MachineTrustState::SetHalvarText(L"szInstallDir64", empty.Path());
    ASSERT_TRUE(CopyFileW(Signed(L"ovgate_signed\\Ovgate.dll").c_str(), beside.File(L"Ovgate.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Signed(L"sample_unsigned.dll").c_str(), beside.File(L"host.dll").c_str(), FALSE));
    HMODULE host = LoadLibraryW(beside.File(L"host.dll").c_str());
    ASSERT_NE(nullptr, host);
    EXPECT_EQ(0u, NotComDllGetInterface(L"Ovgate.dll", "KvlValidationControl", &out, host));
    EXPECT_NE(nullptr, out);
    MachineTrustState::SetHalvarText(L"szInstallDir64", empty.File(L"missing"));
    EXPECT_EQ(0u, NotComDllGetInterface(L"Ovgate.dll", "KvlValidationControl", &out, host)) << "no install folder";
    MachineTrustState::SetHalvarText(L"szInstallDir64", empty.Path());
    // Beside the executable there is none.
    EXPECT_NE(0u, NotComDllGetInterface(L"Ovgate.dll", "KvlValidationControl", &out, nullptr));
    EXPECT_EQ(nullptr, out);
    FreeLibrary(host);
    // A host link in the install folder: the file it names is verified and loaded by its own name.
    ASSERT_TRUE(CopyFileW(Signed(L"ovgate_signed\\Ovgate.dll").c_str(), empty.File(L"real.dll").c_str(), FALSE));
    TestUtil::RunCommand(L"Z:\\bin\\ln -s real.dll Ovgate.dll", 0, empty.Path().c_str());
    for (int i = 0; i < 100 && !TestUtil::FileExists(empty.File(L"Ovgate.dll")); ++i) Sleep(50);
    EXPECT_EQ(0u, NotComDllGetInterface(L"Ovgate.dll", "KvlValidationControl", &out, nullptr));
    EXPECT_NE(nullptr, GetModuleHandleW(L"real.dll")) << "mapped under the link's name";
}

TEST_F(ValidationService, InstallDirIsJoinedWithTheFileName)
{
    MachineTrustState state;
    wchar_t buffer[MAX_PATH];
    EXPECT_FALSE(GetHalvarInstallDir(false, L"Ovgate.dll", buffer, MAX_PATH));
    MachineTrustState::SetHalvarText(L"szInstallDir64", L"C:\\Core64");
    MachineTrustState::SetHalvarText(L"szInstallDir32", L"C:\\Core32");
    ASSERT_TRUE(GetHalvarInstallDir(false, L"Ovgate.dll", buffer, MAX_PATH));
    EXPECT_STREQ(L"C:\\Core64\\Ovgate.dll", buffer);
    ASSERT_TRUE(GetHalvarInstallDir(true, L"Ovgate.dll", buffer, MAX_PATH));
    EXPECT_STREQ(L"C:\\Core32\\Ovgate.dll", buffer);
    wchar_t small[14];
    ASSERT_TRUE(GetHalvarInstallDir(false, L"Ovgate.dll", small, 14));
    EXPECT_STREQ(L"C:\\Core64\\Ovg", small);
}

} // namespace
