// The ground the trust tests stand on: the build's signed files behave under the
// platform's Authenticode and certificate functions as those tests expect, and the test
// doubles of the outside DLLs work.
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestPki.h"
#include "TestUtil.h"

namespace {

using TestPki::SignedFile;

struct SignedMessage {
    explicit SignedMessage(const std::wstring& path)
    {
        DWORD encoding = 0, content = 0, format = 0;
        ok = CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, &store, &msg, nullptr);
        error = ok ? 0 : GetLastError();
    }
    ~SignedMessage()
    {
        if (store) CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
        if (msg) CryptMsgClose(msg);
    }
    SignedMessage(const SignedMessage&) = delete;
    SignedMessage& operator=(const SignedMessage&) = delete;

    BOOL ok = FALSE;
    DWORD error = 0;
    HCERTSTORE store = nullptr;
    HCRYPTMSG msg = nullptr;
};

DWORD SignerCount(HCRYPTMSG msg)
{
    DWORD count = 0, size = sizeof count;
    return CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &count, &size) ? count : 0;
}

std::vector<BYTE> MsgParam(HCRYPTMSG msg, DWORD param, DWORD index)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, param, index, nullptr, &size)) return {};
    std::vector<BYTE> data(size);
    if (!CryptMsgGetParam(msg, param, index, data.data(), &size)) return {};
    data.resize(size);
    return data;
}

// The signer's certificate, from the message's own certificates.
PCCERT_CONTEXT SignerCertificate(HCRYPTMSG msg, DWORD index)
{
    std::vector<BYTE> info = MsgParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, index);
    if (info.empty()) return nullptr;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, msg);
    if (!store) return nullptr;
    PCCERT_CONTEXT cert = CertGetSubjectCertificateFromStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                             reinterpret_cast<PCERT_INFO>(info.data()));
    CertCloseStore(store, 0);
    return cert;
}

std::wstring SimpleName(PCCERT_CONTEXT cert)
{
    wchar_t name[256] = {};
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return name;
}

// Serial as upper-case hex, most significant byte first.
std::wstring SerialText(PCCERT_CONTEXT cert)
{
    std::wstring text;
    const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
    for (DWORD i = serial.cbData; i > 0; --i) {
        wchar_t pair[3];
        _snwprintf(pair, 3, L"%02X", serial.pbData[i - 1]);
        text.append(pair, 2);
    }
    return text;
}

std::vector<BYTE> Sha1(PCCERT_CONTEXT cert)
{
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(cert, CERT_HASH_PROP_ID, hash, &size)) return {};
    return std::vector<BYTE>(hash, hash + size);
}

struct Chain {
    DWORD errorStatus = 0xFFFFFFFF;
    std::vector<BYTE> rootSha1;
};

// The chain as the code-signing checks build it, at the given time or now.
Chain BuildChain(PCCERT_CONTEXT cert, HCERTSTORE extra, const FILETIME* at = nullptr)
{
    Chain out;
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    FILETIME time = {};
    if (at) time = *at;
    if (!CertGetCertificateChain(nullptr, cert, at ? &time : nullptr, extra, &para, 0x84, nullptr, &chain)) return out;
    out.errorStatus = chain->TrustStatus.dwErrorStatus;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    out.rootSha1 = Sha1(simple->rgpElement[simple->cElement - 1]->pCertContext);
    CertFreeCertificateChain(chain);
    return out;
}

LONG VerifyTrust(const std::wstring& path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    data.dwProvFlags = WTD_NO_POLICY_USAGE_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_HASH_ONLY_FLAG |
                       WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

// The PKCS #7 blob of a signed PE file, read from its certificate table.
std::string EmbeddedSignature(const std::wstring& path)
{
    std::string image = TestUtil::ReadFileBytes(path);
    auto u32 = [&](size_t at) -> DWORD {
        return at + 4 <= image.size() ? *reinterpret_cast<const DWORD*>(image.data() + at) : 0;
    };
    size_t pe = u32(0x3C);
    size_t optional = pe + 24;
    if (optional + 2 > image.size()) return {};
    bool pe32plus = *reinterpret_cast<const WORD*>(image.data() + optional) == 0x20B;
    size_t security = optional + (pe32plus ? 112 : 96) + 4 * 8;
    DWORD offset = u32(security), size = u32(security + 4);
    if (offset == 0 || size <= 8 || static_cast<size_t>(offset) + size > image.size()) return {};
    return image.substr(offset + 8, u32(offset) - 8);
}

std::vector<BYTE> Sha256(const void* data, size_t size)
{
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    std::vector<BYTE> out(32);
    DWORD len = 32;
    bool ok = CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
              CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
              CryptHashData(hash, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, out.data(), &len, 0);
    if (hash) CryptDestroyHash(hash);
    if (prov) CryptReleaseContext(prov, 0);
    return ok ? out : std::vector<BYTE>();
}

} // namespace

TEST(TestPkiGround, SignedSampleOpensAndUnsignedDoesNot)
{
    SignedMessage trusted(SignedFile(L"sample_trusted.dll"));
    ASSERT_TRUE(trusted.ok) << std::hex << trusted.error;
    ASSERT_EQ(1u, SignerCount(trusted.msg));
    PCCERT_CONTEXT cert = SignerCertificate(trusted.msg, 0);
    ASSERT_NE(nullptr, cert);
    EXPECT_EQ(TestPki::Value(L"PUBLISHER_NAME"), SimpleName(cert));
    EXPECT_EQ(TestPki::Thumbprint(L"PUBLISHER_SHA1"), Sha1(cert));
    CertFreeCertificateContext(cert);

    SignedMessage unsigned_(SignedFile(L"sample_unsigned.dll"));
    EXPECT_FALSE(unsigned_.ok);
}

// The two-signer file is one message with two signers (not a nested signature). Wine 8
// cannot decode a message with more than one signer together with its content (the
// second signer's hash handle is never made), so CryptQueryObject fails on it there.
// Decoded without the content, the signers are there.
TEST(TestPkiGround, TwoSignerSampleCarriesBothSignersInOrder)
{
    std::string blob = EmbeddedSignature(SignedFile(L"sample_two_signers.dll"));
    ASSERT_FALSE(blob.empty());
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CMSG_DETACHED_FLAG, 0, 0, nullptr,
                                         nullptr);
    ASSERT_NE(nullptr, msg);
    ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), TRUE));
    ASSERT_EQ(2u, SignerCount(msg));
    PCCERT_CONTEXT first = SignerCertificate(msg, 0);
    PCCERT_CONTEXT second = SignerCertificate(msg, 1);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(TestPki::Value(L"LISTED_SERIAL"), SerialText(first));
    EXPECT_EQ(TestPki::Thumbprint(L"PUBLISHER_SHA1"), Sha1(second));
    CertFreeCertificateContext(first);
    CertFreeCertificateContext(second);
    CryptMsgClose(msg);

    SignedMessage file(SignedFile(L"sample_two_signers.dll"));
    if (!file.ok)
        GTEST_SKIP() << "the platform cannot open a file with two signers (Wine 8), error 0x" << std::hex << file.error;
    EXPECT_EQ(2u, SignerCount(file.msg));
}

TEST(TestPkiGround, ChainsEndInTheTestRootOnlyForItsOwnCertificates)
{
    ASSERT_TRUE(TestPki::TrustTestRoot());
    ASSERT_TRUE(TestPki::TrustTestRoot()) << "a second call must succeed as well";
    for (const wchar_t* name : {L"sample_trusted.dll", L"sample_holding.dll", L"sample_other_publisher.dll"}) {
        SignedMessage signed_(SignedFile(name));
        ASSERT_TRUE(signed_.ok) << name;
        PCCERT_CONTEXT cert = SignerCertificate(signed_.msg, 0);
        ASSERT_NE(nullptr, cert) << name;
        Chain chain = BuildChain(cert, signed_.store);
        EXPECT_EQ(0u, chain.errorStatus) << name;
        EXPECT_EQ(TestPki::Thumbprint(L"ROOT_SHA1"), chain.rootSha1) << name;
        CertFreeCertificateContext(cert);
    }

    SignedMessage other(SignedFile(L"sample_untrusted_root.dll"));
    ASSERT_TRUE(other.ok);
    PCCERT_CONTEXT cert = SignerCertificate(other.msg, 0);
    ASSERT_NE(nullptr, cert);
    EXPECT_EQ(TestPki::Value(L"PUBLISHER_NAME"), SimpleName(cert));
    Chain chain = BuildChain(cert, other.store);
    EXPECT_NE(0u, chain.errorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT);
    EXPECT_EQ(TestPki::Thumbprint(L"SECOND_ROOT_SHA1"), chain.rootSha1);
    CertFreeCertificateContext(cert);
}

TEST(TestPkiGround, TamperedAndUnsignedFilesAreTold)
{
    EXPECT_EQ(0, VerifyTrust(SignedFile(L"sample_trusted.dll")));
    EXPECT_EQ(0, VerifyTrust(SignedFile(L"sample_trusted_ts.dll")));
    EXPECT_EQ(0, VerifyTrust(SignedFile(L"sample_expired_ts.dll")));
    EXPECT_EQ(TRUST_E_BAD_DIGEST, VerifyTrust(SignedFile(L"sample_tampered.dll")));
    EXPECT_EQ(TRUST_E_BAD_DIGEST, VerifyTrust(SignedFile(L"ovgate_tampered\\Ovgate.dll")));
    EXPECT_EQ(TRUST_E_NOSIGNATURE, VerifyTrust(SignedFile(L"sample_unsigned.dll")));
}

// The RFC 3161 token carries the fixed time of the build's time stamps, and a certificate
// that expired since is valid at that time only.
TEST(TestPkiGround, TimeStampsCarryTheirFixedSigningTime)
{
    SignedMessage stamped(SignedFile(L"sample_expired_ts.dll"));
    ASSERT_TRUE(stamped.ok);
    std::vector<BYTE> attrs = MsgParam(stamped.msg, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0);
    ASSERT_FALSE(attrs.empty());
    auto* list = reinterpret_cast<CRYPT_ATTRIBUTES*>(attrs.data());
    const CRYPT_ATTRIBUTE* token = nullptr;
    for (DWORD i = 0; i < list->cAttr; ++i)
        if (std::string(list->rgAttr[i].pszObjId) == "1.3.6.1.4.1.311.3.3.1") token = &list->rgAttr[i];
    ASSERT_NE(nullptr, token);
    HCRYPTMSG tst = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(tst, token->rgValue[0].pbData, token->rgValue[0].cbData, TRUE));
    std::vector<BYTE> info = MsgParam(tst, CMSG_SIGNER_INFO_PARAM, 0);
    ASSERT_FALSE(info.empty());
    auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(info.data());
    std::string signingTime;
    for (DWORD i = 0; i < signer->AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = signer->AuthAttrs.rgAttr[i];
        if (std::string(a.pszObjId) == szOID_RSA_signingTime && a.cValue > 0)
            signingTime.assign(reinterpret_cast<const char*>(a.rgValue[0].pbData), a.rgValue[0].cbData);
    }
    CryptMsgClose(tst);
    // 1590000000 = 2020-05-20 18:40:00 UTC, as UTCTime (tag 0x17, length 13).
    EXPECT_EQ(std::string("\x17\x0d" "200520184000Z", 15), signingTime);

    ASSERT_TRUE(TestPki::TrustTestRoot());
    PCCERT_CONTEXT cert = SignerCertificate(stamped.msg, 0);
    ASSERT_NE(nullptr, cert);
    SYSTEMTIME st = {2020, 5, 3, 20, 18, 40, 0, 0};
    FILETIME then;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &then));
    EXPECT_EQ(0u, BuildChain(cert, stamped.store, &then).errorStatus);
    EXPECT_NE(0u, BuildChain(cert, stamped.store).errorStatus & CERT_TRUST_IS_NOT_TIME_VALID);
    CertFreeCertificateContext(cert);
}

// A signed trusted list: its "// SIG // " block holds a PKCS #7 signature whose indirect
// data digest is SHA-256 over the UTF-16LE form of the text before the block's line break.
TEST(TestPkiGround, TrustedListSignatureCoversItsTextAsUtf16)
{
    struct Case { const wchar_t* file; const wchar_t* signer; };
    for (Case c : {Case{L"trusted_v7.js", L"LIST_SIGNER_SHA1"}, Case{L"trusted_v7_wrong_signer.js", L"PUBLISHER_SHA1"}}) {
        std::string file = TestUtil::ReadFileBytes(SignedFile(c.file));
        size_t begin = file.find("\r\n// SIG // Begin signature block\r\n");
        ASSERT_NE(std::string::npos, begin) << c.file;
        std::string base64;
        size_t pos = file.find("\r\n", begin + 2) + 2;
        const std::string prefix = "// SIG // ";
        while (pos < file.size()) {
            size_t end = file.find("\r\n", pos);
            std::string line = file.substr(pos, end - pos);
            pos = end + 2;
            ASSERT_EQ(0u, line.compare(0, prefix.size(), prefix)) << line;
            if (line == prefix + "End signature block") break;
            base64 += line.substr(prefix.size());
        }
        DWORD size = 0;
        ASSERT_TRUE(CryptStringToBinaryA(base64.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr));
        std::vector<BYTE> der(size);
        ASSERT_TRUE(CryptStringToBinaryA(base64.c_str(), 0, CRYPT_STRING_BASE64, der.data(), &size, nullptr, nullptr));

        HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
        ASSERT_TRUE(CryptMsgUpdate(msg, der.data(), size, TRUE)) << c.file;
        ASSERT_EQ(1u, SignerCount(msg));
        PCCERT_CONTEXT cert = SignerCertificate(msg, 0);
        ASSERT_NE(nullptr, cert);
        EXPECT_EQ(TestPki::Thumbprint(c.signer), Sha1(cert)) << c.file;
        EXPECT_TRUE(CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert->pCertInfo)) << c.file;
        CertFreeCertificateContext(cert);

        std::vector<BYTE> content = MsgParam(msg, CMSG_CONTENT_PARAM, 0);
        CryptMsgClose(msg);
        DWORD decodedSize = 0;
        SPC_INDIRECT_DATA_CONTENT* indirect = nullptr;
        ASSERT_TRUE(CryptDecodeObjectEx(X509_ASN_ENCODING, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                                        static_cast<DWORD>(content.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                        &indirect, &decodedSize))
            << c.file;
        std::vector<BYTE> signedDigest(indirect->Digest.pbData, indirect->Digest.pbData + indirect->Digest.cbData);
        LocalFree(indirect);

        std::wstring text = TestUtil::Widen(file.substr(0, begin));
        EXPECT_EQ(Sha256(text.data(), text.size() * sizeof(wchar_t)), signedDigest) << c.file;
        std::string narrow = file.substr(0, begin);
        EXPECT_NE(Sha256(narrow.data(), narrow.size()), signedDigest) << c.file;
    }
}

// Not in an anonymous namespace: GCC would see that no class of this file implements an
// internal interface and drop the calls through it as unreachable.
namespace OvgateDouble {
struct IKvlValidationControl : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetVersion(DWORD* version) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValidationCount(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Validate(const wchar_t* path, DWORD flags, DWORD* record) = 0;
};
} // namespace OvgateDouble

namespace {

using OvgateDouble::IKvlValidationControl;
using GetInterfaceFn = DWORD(WINAPI*)(const char*, void**);

std::wstring Env(const wchar_t* name)
{
    wchar_t value[512];
    DWORD n = GetEnvironmentVariableW(name, value, 512);
    return n > 0 && n < 512 ? std::wstring(value, n) : std::wstring();
}

} // namespace

TEST(TestDoubles, OvgateObjectOutlivesItsLibraryAndAnswersFromTheEnvironment)
{
    std::wstring path = SignedFile(L"ovgate_signed\\Ovgate.dll");
    HMODULE dll = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(nullptr, dll);
    auto get = reinterpret_cast<GetInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(dll, "NotComDllGetInterface")));
    ASSERT_NE(nullptr, get);
    void* unknown = reinterpret_cast<void*>(1);
    EXPECT_NE(0u, get("SomethingElse", &unknown));
    EXPECT_EQ(nullptr, unknown);
    void* out = nullptr;
    ASSERT_EQ(0u, get("KvlValidationControl", &out));
    ASSERT_NE(nullptr, out);
    FreeLibrary(dll);

    auto* control = static_cast<IKvlValidationControl*>(out);
    SetEnvironmentVariableW(L"TELVANA_OVGATE_STATUS", L"2");
    SetEnvironmentVariableW(L"TELVANA_OVGATE_CAPABILITY", L"0x8");
    DWORD record[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_EQ(S_OK, control->Validate(L"C:\\x\\a.dll", 512, record));
    EXPECT_EQ(2u, record[0]);
    EXPECT_EQ(8u, record[1]);
    EXPECT_EQ(L"512", Env(L"TELVANA_OVGATE_LAST_FLAGS"));
    EXPECT_EQ(L"C:\\x\\a.dll", Env(L"TELVANA_OVGATE_LAST_PATH"));

    SetEnvironmentVariableW(L"TELVANA_OVGATE_STATUS", nullptr);
    SetEnvironmentVariableW(L"TELVANA_OVGATE_CAPABILITY", L"1");
    control->Validate(L"b.dll", 4, record);
    EXPECT_EQ(0u, record[0]);
    EXPECT_EQ(1u, record[1]);
    EXPECT_EQ(L"4", Env(L"TELVANA_OVGATE_LAST_FLAGS"));
    EXPECT_EQ(L"2", Env(L"TELVANA_OVGATE_CALLS"));
    control->Release();

    for (const wchar_t* name : {L"TELVANA_OVGATE_CAPABILITY", L"TELVANA_OVGATE_CALLS", L"TELVANA_OVGATE_LAST_FLAGS",
                                L"TELVANA_OVGATE_LAST_PATH"})
        SetEnvironmentVariableW(name, nullptr);
}

TEST(TestDoubles, LognexRecordsEveryCallInOrder)
{
    TestUtil::ScratchDir dir;
    std::wstring log = dir.File(L"lognex.log");
    SetEnvironmentVariableW(L"TELVANA_LOGNEX_LOG", log.c_str());
    SetEnvironmentVariableW(L"TELVANA_LOGNEX_START_RESULT", L"1234");

    HMODULE dll = LoadLibraryW(SignedFile(L"lognex_signed\\Lognex.dll").c_str());
    ASSERT_NE(nullptr, dll);
    auto proc = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    auto start = reinterpret_cast<DWORD(WINAPI*)(const wchar_t*)>(proc("Start"));
    auto stop = reinterpret_cast<DWORD(WINAPI*)(BYTE, const wchar_t*)>(proc("Stop"));
    using NoArgs = DWORD(WINAPI*)();
    auto restart = reinterpret_cast<NoArgs>(proc("RestartSession"));
    auto flush = reinterpret_cast<NoArgs>(proc("FlushBuffers"));
    auto addRef = reinterpret_cast<NoArgs>(proc("DllAddRef"));
    auto release = reinterpret_cast<NoArgs>(proc("DllRelease"));
    ASSERT_TRUE(start && stop && restart && flush && addRef && release);
    addRef();
    EXPECT_EQ(1234u, start(L"Kavo"));
    restart();
    flush();
    stop(1, L"Kavo");
    release();
    FreeLibrary(dll);

    EXPECT_EQ("Load\r\nDllAddRef()\r\nStart(Kavo)\r\nRestartSession()\r\nFlushBuffers()\r\nStop(1,Kavo)\r\n"
              "DllRelease()\r\nUnload\r\n",
              TestUtil::ReadFileBytes(log));

    HMODULE noFlush = LoadLibraryW(SignedFile(L"lognex_no_flush\\Lognex.dll").c_str());
    ASSERT_NE(nullptr, noFlush);
    EXPECT_EQ(nullptr, GetProcAddress(noFlush, "FlushBuffers"));
    EXPECT_NE(nullptr, GetProcAddress(noFlush, "RestartSession"));
    FreeLibrary(noFlush);
    HMODULE noRefs = LoadLibraryW(SignedFile(L"lognex_no_refs\\Lognex.dll").c_str());
    ASSERT_NE(nullptr, noRefs);
    EXPECT_EQ(nullptr, GetProcAddress(noRefs, "DllAddRef"));
    EXPECT_EQ(nullptr, GetProcAddress(noRefs, "DllRelease"));
    EXPECT_NE(nullptr, GetProcAddress(noRefs, "FlushBuffers"));
    FreeLibrary(noRefs);

    SetEnvironmentVariableW(L"TELVANA_LOGNEX_LOG", nullptr);
    SetEnvironmentVariableW(L"TELVANA_LOGNEX_START_RESULT", nullptr);
}
