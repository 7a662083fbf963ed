#include "Lumetra/AuthenticodePolicy.h"
#include "Lumetra/TrustedList.h"

#include "TestPki.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <wincrypt.h>
#include <wintrust.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace Lumetra;

namespace {

// ---------------------------------------------------------------------------------------------
// Signs list text the way the build signs trusted.js (script signature block, SHA-256 over the
// text as UTF-16LE), with a certificate and key of the test PKI, so that each parse rule can be
// tried on a properly signed file.

std::string DerLength(size_t length)
{
    std::string out;
    if (length < 0x80) {
        out.push_back(static_cast<char>(length));
        return out;
    }
    std::string bytes;
    for (; length != 0; length >>= 8)
        bytes.insert(bytes.begin(), static_cast<char>(length & 0xFF));
    out.push_back(static_cast<char>(0x80 | bytes.size()));
    return out + bytes;
}

std::string Der(unsigned char tag, const std::string& content)
{
    return std::string(1, static_cast<char>(tag)) + DerLength(content.size()) + content;
}

// Content of the element at pos; pos moves past it.
bool DerNext(const std::string& der, size_t& pos, unsigned char& tag, std::string& content)
{
    if (pos + 2 > der.size())
        return false;
    tag = static_cast<unsigned char>(der[pos++]);
    size_t length = static_cast<unsigned char>(der[pos++]);
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        length = 0;
        for (size_t i = 0; i < count && pos < der.size(); ++i)
            length = (length << 8) | static_cast<unsigned char>(der[pos++]);
    }
    if (pos + length > der.size())
        return false;
    content = der.substr(pos, length);
    pos += length;
    return true;
}

std::string Sha256(const std::string& data)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::string digest(32, '\0');
    DWORD size = 32;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0))
        CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(&digest[0]), &size, 0);
    if (hash != 0)
        CryptDestroyHash(hash);
    if (provider != 0)
        CryptReleaseContext(provider, 0);
    return digest;
}

class ScriptSigner {
public:
    explicit ScriptSigner(const std::wstring& certificateName)
    {
        const std::wstring base = TestPki::SignedFolder() + L"\\..\\..\\pki\\" + certificateName;
        const std::string der = TestUtil::ReadFileBytes(base + L".cer");
        m_certificate = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                     static_cast<DWORD>(der.size()));
        const std::string pem = TestUtil::ReadFileBytes(base + L".key");
        DWORD size = 0;
        if (pem.empty() || !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                                                 CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
            return;
        std::string key(size, '\0');
        CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                             reinterpret_cast<BYTE*>(&key[0]), &size, nullptr, nullptr);
        key.resize(size);
        if (pem.find("BEGIN PRIVATE KEY") != std::string::npos) {
            // PKCS #8: SEQUENCE { version, algorithm, OCTET STRING { RSAPrivateKey } }
            size_t pos = 0;
            unsigned char tag = 0;
            std::string outer;
            std::string field;
            if (!DerNext(key, pos, tag, outer))
                return;
            pos = 0;
            for (int i = 0; i < 3; ++i) {
                if (!DerNext(outer, pos, tag, field))
                    return;
            }
            key = field;
        }
        BYTE* blob = nullptr;
        DWORD blobSize = 0;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, reinterpret_cast<const BYTE*>(key.data()),
                                 static_cast<DWORD>(key.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &blobSize))
            return;
        if (CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
            CryptImportKey(m_provider, blob, blobSize, 0, 0, &m_key);
        LocalFree(blob);
    }
    ~ScriptSigner()
    {
        if (m_key != 0)
            CryptDestroyKey(m_key);
        if (m_provider != 0)
            CryptReleaseContext(m_provider, 0);
        if (m_certificate != nullptr)
            CertFreeCertificateContext(m_certificate);
    }
    ScriptSigner(const ScriptSigner&) = delete;
    ScriptSigner& operator=(const ScriptSigner&) = delete;

    bool Ready() const { return m_certificate != nullptr && m_key != 0; }

    // The text followed by its signature block; empty on failure. With shown, that text stands
    // before the block and in the signed content, which the signer's digest then does not name.
    std::string Sign(const std::string& text, const char* shown = nullptr) const
    {
        const std::wstring wide = TestUtil::Widen(text);
        const std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
        const std::string sipInfoOid("\x06\x0A\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x1E", 12);
        const std::string sha256Oid("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01", 11);
        const std::string derNull("\x05\x00", 2);
        const std::string indirect =
            Der(0x30, Der(0x30, sipInfoOid + derNull) +
                          Der(0x30, Der(0x30, sha256Oid + derNull) + Der(0x04, Sha256(utf16))));

        BYTE emptySequence[] = {0x30, 0x00};
        CRYPT_ATTR_BLOB opusValue = {sizeof(emptySequence), emptySequence};
        CRYPT_ATTRIBUTE opus = {const_cast<LPSTR>(SPC_SP_OPUS_INFO_OBJID), 1, &opusValue};
        CMSG_SIGNER_ENCODE_INFO signer = {};
        signer.cbSize = sizeof(signer);
        signer.pCertInfo = m_certificate->pCertInfo;
        signer.hCryptProv = m_provider;
        signer.dwKeySpec = AT_KEYEXCHANGE;
        signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_NIST_sha256);
        signer.cAuthAttr = 1;
        signer.rgAuthAttr = &opus;
        CERT_BLOB certificate = {m_certificate->cbCertEncoded, m_certificate->pbCertEncoded};
        CMSG_SIGNED_ENCODE_INFO info = {};
        info.cbSize = sizeof(info);
        info.cSigners = 1;
        info.rgSigners = &signer;
        info.cCertEncoded = 1;
        info.rgCertEncoded = &certificate;
        HCRYPTMSG message = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CMSG_SIGNED, &info,
                                                 const_cast<LPSTR>(SPC_INDIRECT_DATA_OBJID), nullptr);
        if (message == nullptr)
            return std::string();
        std::string encoded;
        DWORD size = 0;
        if (CryptMsgUpdate(message, reinterpret_cast<const BYTE*>(indirect.data()), static_cast<DWORD>(indirect.size()),
                           TRUE) &&
            CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, nullptr, &size)) {
            encoded.assign(size, '\0');
            if (!CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, &encoded[0], &size))
                encoded.clear();
            encoded.resize(size);
        }
        CryptMsgClose(message);
        if (encoded.empty())
            return std::string();
        const std::wstring wideShown = TestUtil::Widen(shown != nullptr ? shown : text);
        encoded.replace(encoded.find(Sha256(utf16)), 32,
                        Sha256(std::string(reinterpret_cast<const char*>(wideShown.data()), wideShown.size() * 2)));

        DWORD chars = 0;
        CryptBinaryToStringA(reinterpret_cast<const BYTE*>(encoded.data()), static_cast<DWORD>(encoded.size()),
                             CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &chars);
        std::string base64(chars, '\0');
        CryptBinaryToStringA(reinterpret_cast<const BYTE*>(encoded.data()), static_cast<DWORD>(encoded.size()),
                             CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, &base64[0], &chars);
        base64.resize(chars);
        std::string block = "\r\n// SIG // Begin signature block\r\n";
        for (size_t i = 0; i < base64.size(); i += 64)
            block += "// SIG // " + base64.substr(i, 64) + "\r\n";
        block += "// SIG // End signature block\r\n";
        return (shown != nullptr ? shown : text) + block;
    }

private:
    PCCERT_CONTEXT m_certificate = nullptr;
    HCRYPTPROV m_provider = 0;
    HCRYPTKEY m_key = 0;
};

// A 40-digit thumbprint text and its bytes, written out by hand.
const char kThumbprintText[] = "00112233445566778899AABBCCDDEEFF01234567";
const BYTE kThumbprintBytes[20] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                   0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x23, 0x45, 0x67};

class TrustedListFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestPki::TrustTestRoot());
        ASSERT_TRUE(m_signer.Ready()) << "test PKI key or certificate not readable";
    }

    // Writes the signed text to a fresh file in the scratch folder and returns its path.
    std::wstring WriteList(const std::string& text)
    {
        const std::wstring path = m_dir.File(TestUtil::UniqueName(L"trusted") + L".js");
        const std::string signedText = m_signer.Sign(text);
        EXPECT_FALSE(signedText.empty());
        EXPECT_TRUE(TestUtil::WriteFileBytes(path, signedText));
        return path;
    }

    static size_t Count(const wchar_t* const* array)
    {
        size_t n = 0;
        while (array != nullptr && array[n] != nullptr)
            ++n;
        return n;
    }

    ScriptSigner m_signer{L"list_signer"};
    TestUtil::ScratchDir m_dir;
};

// ---------------------------------------------------------------------------------------------
// Signature of the list.

TEST_F(TrustedListFile, SignatureMustBeTheListSignersOverUnchangedText)
{
    EXPECT_TRUE(CheckTrustedListSignature(TestPki::SignedFile(L"trusted_v7.js").c_str()));
    EXPECT_FALSE(CheckTrustedListSignature(TestPki::SignedFile(L"trusted_v7_wrong_signer.js").c_str()));
    EXPECT_FALSE(CheckTrustedListSignature(TestPki::SignedFile(L"sample_trusted.dll").c_str()));
    EXPECT_FALSE(CheckTrustedListSignature(TestPki::SignedFile(L"does_not_exist.js").c_str()));
    EXPECT_FALSE(CheckTrustedListSignature(nullptr));
    EXPECT_FALSE(CheckTrustedListSignature(L""));

    std::string original = TestUtil::ReadFileBytes(TestPki::SignedFile(L"trusted_v7.js"));
    const size_t ver = original.find("[VER]\r\n7");
    ASSERT_NE(std::string::npos, ver);

    std::string altered = original;
    altered[ver + 7] = '9';
    const std::wstring alteredPath = m_dir.File(L"altered.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(alteredPath, altered));
    EXPECT_FALSE(CheckTrustedListSignature(alteredPath.c_str()));

    const std::wstring appendedPath = m_dir.File(L"appended.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(appendedPath, original + "[ORG]\r\nSomeone Else\r\n"));
    EXPECT_FALSE(CheckTrustedListSignature(appendedPath.c_str())) << "text after the block is not signed";

    const std::wstring unsignedPath = m_dir.File(L"unsigned.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(unsignedPath, original.substr(0, original.find("\r\n// SIG //"))));
    EXPECT_FALSE(CheckTrustedListSignature(unsignedPath.c_str()));

    const std::wstring copyPath = m_dir.File(L"copy.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(copyPath, original));
    EXPECT_TRUE(CheckTrustedListSignature(copyPath.c_str()));

    EXPECT_TRUE(CheckTrustedListSignature(WriteList("[VER]\r\n7\r\n").c_str()));
    ASSERT_TRUE(TestUtil::WriteFileBytes(copyPath, m_signer.Sign("[VER]\r\n7\r\n", "[VER]\r\n9\r\n")));
    EXPECT_FALSE(CheckTrustedListSignature(copyPath.c_str())) << "the signer's digest names other text";
    ScriptSigner publisher(L"publisher");
    ASSERT_TRUE(publisher.Ready());
    const std::wstring wrongSigner = m_dir.File(L"publisher.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(wrongSigner, publisher.Sign("[VER]\r\n7\r\n")));
    EXPECT_FALSE(CheckTrustedListSignature(wrongSigner.c_str()));
}

TEST_F(TrustedListFile, LineBreakInsideTheSignatureBlockIsRefused)
{
    // A lone line feed inside a signature line leaves the decoded signature unchanged, but the
    // list parser would read the text after it as a value of the last section: refused.
    const std::string original = TestUtil::ReadFileBytes(TestPki::SignedFile(L"trusted_v7.js"));
    const size_t end = original.find("\r\n// SIG // End signature block");
    ASSERT_NE(std::string::npos, end);
    ASSERT_GT(end, 8u);
    std::string injected = original;
    injected.insert(end - 4, "\n");
    const std::wstring path = m_dir.File(L"injected.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, injected));
    EXPECT_FALSE(CheckTrustedListSignature(path.c_str()));
    CTrustedList list(path.c_str());
    EXPECT_FALSE(list.LoadLocked());
}

TEST_F(TrustedListFile, ScriptSignatureLayerChecksDigestAndSignature)
{
    // Where the platform opens signed scripts itself this layer is not reached.
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    const std::wstring path = TestPki::SignedFile(L"trusted_v7.js");
    if (CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                         CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr)) {
        CertCloseStore(store, 0);
        CryptMsgClose(message);
    }

    ASSERT_TRUE(internal::OpenScriptSignature(path.c_str(), &message, &store));
    EXPECT_EQ(0, internal::VerifyScriptIntegrity(path.c_str(), message, store));

    std::string text = TestUtil::ReadFileBytes(path);
    text[text.find("[ORG]") + 1] = 'X';
    const std::wstring altered = m_dir.File(L"altered.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(altered, text));
    EXPECT_EQ(TRUST_E_BAD_DIGEST, internal::VerifyScriptIntegrity(altered.c_str(), message, store));
    CertCloseStore(store, 0);
    CryptMsgClose(message);

    std::vector<BYTE> file = {'a', '\r', '\n', '/', '/'};
    EXPECT_FALSE(internal::SplitSignedScript(file, nullptr, nullptr));
    const std::string broken = "x\r\n// SIG // Begin signature block\r\n// SIG // AAAA\r\n";
    EXPECT_FALSE(internal::SplitSignedScript(std::vector<BYTE>(broken.begin(), broken.end()), nullptr, nullptr))
        << "no end line";
    const std::string foreign =
        "x\r\n// SIG // Begin signature block\r\nAAAA\r\n// SIG // End signature block\r\n";
    EXPECT_FALSE(internal::SplitSignedScript(std::vector<BYTE>(foreign.begin(), foreign.end()), nullptr, nullptr));
    const std::string good = "x\r\n// SIG // Begin signature block\r\n// SIG // AAEC\r\n// SIG // End signature block\r\n";
    std::vector<BYTE> signedText;
    std::vector<BYTE> signature;
    ASSERT_TRUE(internal::SplitSignedScript(std::vector<BYTE>(good.begin(), good.end()), &signedText, &signature));
    EXPECT_EQ(std::vector<BYTE>({'x'}), signedText);
    EXPECT_EQ(std::vector<BYTE>({0x00, 0x01, 0x02}), signature);
}

// ---------------------------------------------------------------------------------------------
// Parsing.

TEST_F(TrustedListFile, MinimalListLoads)
{
    CTrustedList list(WriteList(std::string("[VER]\r\n7\r\n[ORG]\r\nTelvana Test Publisher\r\n[SHA]\r\n") +
                                kThumbprintText + "\r\n")
                          .c_str());
    EXPECT_FALSE(list.IsLoaded());
    ASSERT_TRUE(list.LoadLocked());
    EXPECT_TRUE(list.IsLoaded());
    EXPECT_EQ(7u, list.Version());
    ASSERT_EQ(1u, Count(list.Organisations()));
    EXPECT_STREQ(L"Telvana Test Publisher", list.Organisations()[0]);
    ASSERT_EQ(1u, list.ThumbprintCount());
    ASSERT_NE(nullptr, list.Thumbprints()[0]);
    EXPECT_EQ(0, memcmp(kThumbprintBytes, list.Thumbprints()[0], 20));
    EXPECT_EQ(nullptr, list.Serials());
}

TEST_F(TrustedListFile, VersionMustBeOneDecimalValue)
{
    struct Case {
        const char* text;
        bool loads;
        DWORD version;
    };
    const Case cases[] = {
        {"[ORG]\r\nA\r\n", false, 0},
        {"[VER]\r\n7\r\n8\r\n", false, 0},
        {"[VER]\r\n7\r\n[ORG]\r\nA\r\n[VER]\r\n8\r\n", false, 0},
        {"[VER]\r\n", false, 0},
        {"[VER]\r\nseven\r\n", false, 0},
        {"[VER]\r\n99999999999\r\n", false, 0},
        {"[VER]\r\n12abc\r\n", true, 12},
        {"  [ VER ]  \r\n\t42\t\r\n", true, 42},
    };
    for (const Case& c : cases) {
        CTrustedList list(WriteList(c.text).c_str());
        EXPECT_EQ(c.loads, list.LoadLocked()) << c.text;
        EXPECT_EQ(c.loads, list.IsLoaded()) << c.text;
        EXPECT_EQ(c.version, list.Version()) << c.text;
    }
}

TEST_F(TrustedListFile, LinesFollowTheCommentHeaderAndValueRules)
{
    const std::string text = "Before=ignored\r\n"
                             "[ORG]\r\n"
                             "  // an indented comment\r\n"
                             "/* comment */\r\n"
                             "*/ comment\r\n"
                             "# Number Sign Publisher\r\n"
                             "\r\n"
                             "\t \r\n"
                             "[VER]\r\n"
                             "9\r\n"
                             "[ORG]\r\n"
                             "Second Header Publisher  // kept\r\n"
                             "[Other]\r\n"
                             "anything\r\n"
                             "[SHA]\r\n"
                             "0011223344556677889900112233445566778899A\r\n"
                             "ABC\r\n"
                             "\r\n"
                             "[SER]\r\n"
                             "7e1a\r\n"
                             "Last line without break";
    CTrustedList list(WriteList(text).c_str());
    ASSERT_TRUE(list.LoadLocked());
    EXPECT_EQ(9u, list.Version());
    ASSERT_EQ(2u, Count(list.Organisations()));
    EXPECT_STREQ(L"# Number Sign Publisher", list.Organisations()[0]);
    EXPECT_STREQ(L"Second Header Publisher  // kept", list.Organisations()[1]);
    ASSERT_EQ(2u, list.ThumbprintCount());
    EXPECT_EQ(nullptr, list.Thumbprints()[0]) << "41 digits";
    EXPECT_EQ(nullptr, list.Thumbprints()[1]) << "3 digits";
    ASSERT_EQ(2u, Count(list.Serials()));
    EXPECT_STREQ(L"7e1a", list.Serials()[0]);
    EXPECT_STREQ(L"Last line without break", list.Serials()[1]);
}

TEST_F(TrustedListFile, ShortThumbprintNeverMatchesButLoads)
{
    const std::string thirtyNine = std::string(kThumbprintText).substr(0, 39);
    CTrustedList list(WriteList("[VER]\r\n6\r\n[SHA]\r\n" + thirtyNine + "\r\n" + kThumbprintText + "\r\n").c_str());
    ASSERT_TRUE(list.LoadLocked());
    ASSERT_EQ(2u, list.ThumbprintCount());
    EXPECT_EQ(nullptr, list.Thumbprints()[0]);
    ASSERT_NE(nullptr, list.Thumbprints()[1]);
    EXPECT_EQ(0, memcmp(kThumbprintBytes, list.Thumbprints()[1], 20));
}

TEST_F(TrustedListFile, EmptySectionNameMakesTheFileInvalid)
{
    CTrustedList list(WriteList("[VER]\r\n7\r\n[ \t ]\r\nvalue\r\n[ORG]\r\nA\r\n").c_str());
    EXPECT_FALSE(list.LoadLocked());
    EXPECT_FALSE(list.IsLoaded());
    EXPECT_EQ(nullptr, list.Organisations());
    CTrustedList brackets(WriteList("[VER]\r\n7\r\n[]\r\n").c_str());
    EXPECT_FALSE(brackets.LoadLocked());
}

TEST_F(TrustedListFile, FailedLoadLeavesNothingBehind)
{
    // A bad thumbprint pair fails after VER was read; the next load of a good file on the
    // same object must not see that VER again.
    const std::wstring path = m_dir.File(L"list.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, m_signer.Sign("[VER]\r\n7\r\n[SHA]\r\nZZ\r\n")));
    CTrustedList list(path.c_str());
    EXPECT_FALSE(list.LoadLocked());
    EXPECT_FALSE(list.IsLoaded());
    EXPECT_EQ(0u, list.Version());
    EXPECT_EQ(0u, list.ThumbprintCount());

    ASSERT_TRUE(TestUtil::WriteFileBytes(path, m_signer.Sign("[VER]\r\n8\r\n[ORG]\r\nA\r\n")));
    ASSERT_TRUE(list.LoadLocked()) << "the earlier failure must release both locks and its sections";
    EXPECT_EQ(8u, list.Version());

    // The file lock is free again: an exclusive lock is granted at once.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    OVERLAPPED whole = {};
    EXPECT_TRUE(LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 0xFFFFFFFF, 0xFFFFFFFF,
                           &whole));
    UnlockFileEx(file, 0, 0xFFFFFFFF, 0xFFFFFFFF, &whole);
    CloseHandle(file);
}

TEST_F(TrustedListFile, LoadedListAnswersWithoutRereadingUntilReload)
{
    const std::wstring path = m_dir.File(L"list.js");
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, m_signer.Sign(std::string("[VER]\r\n7\r\n[SHA]\r\n") + kThumbprintText)));
    CTrustedList list(path.c_str());
    ASSERT_TRUE(list.LoadLocked());
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, m_signer.Sign("[VER]\r\n8\r\n")));
    EXPECT_TRUE(list.LoadLocked());
    EXPECT_EQ(7u, list.Version());
    ASSERT_TRUE(list.Reload());
    EXPECT_EQ(8u, list.Version());
    EXPECT_EQ(nullptr, list.Thumbprints());
    EXPECT_EQ(0u, list.ThumbprintCount());

    list.LockExclusive();
    list.Clear();
    list.UnlockExclusive();
    EXPECT_FALSE(list.IsLoaded());
    EXPECT_EQ(0u, list.Version());

    ASSERT_TRUE(TestUtil::WriteFileBytes(path, "[VER]\r\n9\r\n"));
    EXPECT_FALSE(list.Reload()) << "unsigned";
    EXPECT_FALSE(list.IsLoaded());
}

TEST_F(TrustedListFile, MissingOrEmptyPathDoesNotLoad)
{
    CTrustedList missing(m_dir.File(L"none.js").c_str());
    EXPECT_FALSE(missing.LoadLocked());
    CTrustedList empty(L"");
    EXPECT_TRUE(empty.Path().empty());
    EXPECT_FALSE(empty.LoadLocked());
    CTrustedList byDefault(nullptr);
    EXPECT_EQ(CTrustedList::DefaultPath(), byDefault.Path());
}

TEST(TrustedListPath, DefaultPathIsOnTheWindowsDrive)
{
    EXPECT_EQ(L"D:\\Program Files\\Common Files\\Orvane\\Platform\\Core\\trusted.js",
              CTrustedList::DefaultPathFor(L"D:\\Windows"));
    wchar_t windows[MAX_PATH] = {};
    ASSERT_NE(0u, GetWindowsDirectoryW(windows, MAX_PATH));
    EXPECT_EQ(std::wstring(1, windows[0]) + L":\\Program Files\\Common Files\\Orvane\\Platform\\Core\\trusted.js",
              CTrustedList::DefaultPath());
    const std::wstring signal = CTrustedList::RefreshSignalName();
    ASSERT_EQ(36u, signal.size());
    EXPECT_EQ(TestPki::Value(L"SIGNAL_GUID"), signal);
}

// ---------------------------------------------------------------------------------------------
// Installing over a list on a scratch path.

class ListInstall : public TrustedListFile {
protected:
    void SetUp() override
    {
        TrustedListFile::SetUp();
        // Installing raises the machine-wide refresh signal: one test at a time, and it is
        // taken back afterwards when it was not there before.
        m_mutex = CreateMutexW(nullptr, FALSE, L"TelvanaTests.TrustMachineState");
        const DWORD wait = WaitForSingleObject(m_mutex, INFINITE);
        m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        m_hadAtom = GlobalFindAtomW(CTrustedList::RefreshSignalName()) != 0;
    }
    void TearDown() override
    {
        if (!m_hadAtom) {
            for (int i = 0; i < 1000; ++i) {
                const ATOM atom = GlobalFindAtomW(CTrustedList::RefreshSignalName());
                if (atom == 0)
                    break;
                GlobalDeleteAtom(atom);
            }
        }
        if (m_owned)
            ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
    }

    HANDLE m_mutex = nullptr;
    bool m_owned = false;
    bool m_hadAtom = false;
};

TEST_F(ListInstall, InstallCreatesOrReplacesTheFileAndSignals)
{
    const std::wstring installed = m_dir.File(L"Core\\Sub\\trusted.js");
    CTrustedList list(installed.c_str());
    ASSERT_TRUE(list.Install(TestPki::SignedFile(L"trusted_v6.js").c_str()));
    EXPECT_TRUE(list.IsLoaded());
    EXPECT_EQ(6u, list.Version());
    EXPECT_NE(0, GlobalFindAtomW(CTrustedList::RefreshSignalName()));
    WIN32_FIND_DATAW found;
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(m_dir.File(L"Core\\Sub\\trusted.*-*.js").c_str(), &found));

    // A second object reading the same file holds no lock between its reads.
    CTrustedList reader(installed.c_str());
    ASSERT_TRUE(reader.LoadLocked());
    ASSERT_TRUE(list.Install(TestPki::SignedFile(L"trusted_v8.js").c_str()));
    EXPECT_EQ(8u, list.Version());
    EXPECT_EQ(TestUtil::ReadFileBytes(TestPki::SignedFile(L"trusted_v8.js")), TestUtil::ReadFileBytes(installed));
    EXPECT_EQ(6u, reader.Version());
    EXPECT_TRUE(reader.Reload());
    EXPECT_EQ(8u, reader.Version());
    // The bytes copied count, not the version the caller read before the file was swapped.
    EXPECT_FALSE(list.InstallIfNewer(TestPki::SignedFile(L"trusted_v6.js").c_str(), 9));
    EXPECT_TRUE(reader.Reload() && reader.Version() == 8) << reader.Version();

    // An installed file that is not genuine tells no version, and costs the loaded list nothing.
    for (const char* text : {"[VER]\r\nbroken\r\n", "[VER]\r\n4294967295\r\n"}) {
        ASSERT_TRUE(list.Install(TestPki::SignedFile(L"trusted_v6.js").c_str()));
        ASSERT_TRUE(TestUtil::WriteFileBytes(installed, text));
        EXPECT_TRUE(list.InstallIfNewer(TestPki::SignedFile(L"trusted_v7.js").c_str(), 7) && list.Version() == 7) << text;
    }
}

TEST_F(ListInstall, RacingInstallsLeaveTheNewestList)
{
    const std::wstring installed = m_dir.File(L"trusted.js");
    ASSERT_TRUE(CTrustedList(installed.c_str()).Install(TestPki::SignedFile(L"trusted_v6.js").c_str()));
    // Held as a reader holds it, the file cannot be replaced: the v8 install retries after its
    // compare while the v7 install starts.
    HANDLE held = CreateFileW(installed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    CTrustedList newer(installed.c_str()), older(installed.c_str());
    std::thread first([&] { newer.InstallIfNewer(TestPki::SignedFile(L"trusted_v8.js").c_str(), 8); });
    Sleep(400);
    std::thread second([&] { older.InstallIfNewer(TestPki::SignedFile(L"trusted_v7.js").c_str(), 7); });
    Sleep(400);
    CloseHandle(held);
    first.join();
    second.join();
    EXPECT_TRUE(older.Reload() && older.Version() == 8) << older.Version();

    // Anyone may lock the installs' lock file: an install then gives up after a bounded wait, and
    // the list's readers never wait for it.
    HANDLE lock = CreateFileW((installed + L".lock").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    OVERLAPPED whole = {};
    ASSERT_TRUE(LockFileEx(lock, 0, 0, MAXDWORD, MAXDWORD, &whole));
    CTrustedList waiting(installed.c_str());
    auto install = std::async(std::launch::async, [&] {
        return waiting.InstallIfNewer(TestPki::SignedFile(L"trusted_v7.js").c_str(), 7);
    });
    Sleep(200);
    auto reading = std::async(std::launch::async, [&] { return waiting.IsLoaded(); });
    EXPECT_EQ(std::future_status::ready, reading.wait_for(std::chrono::seconds(2))) << "a reader waits";
    EXPECT_EQ(std::future_status::ready, install.wait_for(std::chrono::seconds(10))) << "the install waits for good";
    CloseHandle(lock);
    EXPECT_FALSE(install.get());
}

TEST_F(ListInstall, FailedCopyLeavesTheListAsItWas)
{
    const std::wstring installed = m_dir.File(L"trusted.js");
    CTrustedList list(installed.c_str());
    ASSERT_TRUE(list.Install(TestPki::SignedFile(L"trusted_v6.js").c_str()));
    EXPECT_FALSE(list.Install(m_dir.File(L"missing.js").c_str()));
    EXPECT_TRUE(list.IsLoaded());
    EXPECT_EQ(6u, list.Version());
    EXPECT_FALSE(list.Install(nullptr));
}

} // namespace
