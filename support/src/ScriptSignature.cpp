// Signed script text: the signature travels as base64 in "// SIG // " comment lines after the
// text it signs. The signed indirect data carries the digest of that text as UTF-16LE.
#include "Lumetra/AuthenticodePolicy.h"

#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <string>
#include <vector>

namespace Lumetra {
namespace internal {

namespace {

const char kLinePrefix[] = "// SIG // ";
const char kBlockBegin[] = "// SIG // Begin signature block";
const char kBlockEnd[] = "// SIG // End signature block";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kMaxScriptSize = 16 * 1024 * 1024;

bool ReadMessageParam(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE>& data)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &size))
        return false;
    data.assign(size, 0);
    if (size != 0 && !CryptMsgGetParam(message, type, index, data.data(), &size))
        return false;
    data.resize(size);
    return true;
}

bool Hash(const char* algorithmOid, const BYTE* data, size_t size, std::vector<BYTE>& digest)
{
    const ALG_ID algorithm = CertOIDToAlgId(algorithmOid);
    if (algorithm == 0 || GET_ALG_CLASS(algorithm) != ALG_CLASS_HASH)
        return false;
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    HCRYPTHASH hash = 0;
    bool ok = CryptCreateHash(provider, algorithm, 0, 0, &hash) != 0;
    if (ok)
        ok = CryptHashData(hash, data, static_cast<DWORD>(size), 0) != 0;
    DWORD length = 0;
    DWORD lengthSize = sizeof(length);
    if (ok)
        ok = CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&length), &lengthSize, 0) != 0;
    if (ok) {
        digest.assign(length, 0);
        ok = CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &length, 0) != 0;
    }
    if (hash != 0)
        CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return ok;
}

bool Equal(const std::vector<BYTE>& a, const BYTE* b, size_t size)
{
    return a.size() == size && size != 0 && memcmp(a.data(), b, size) == 0;
}

// The value bytes of a DER element (what an Authenticode message digest covers), or empty.
bool DerValue(const std::vector<BYTE>& element, size_t* offset)
{
    if (element.size() < 2)
        return false;
    size_t pos = 1;
    size_t length = element[pos++];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || pos + count > element.size())
            return false;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | element[pos++];
    }
    if (pos + length != element.size())
        return false;
    *offset = pos;
    return true;
}

// The signed attribute "message digest" must commit to the content that is then trusted.
bool ContentMatchesMessageDigest(const CMSG_SIGNER_INFO& signer, const std::vector<BYTE>& content)
{
    size_t valueOffset = 0;
    if (DerValue(content, &valueOffset) &&
        MessageDigestMatches(signer, content.data() + valueOffset, content.size() - valueOffset))
        return true;
    return MessageDigestMatches(signer, content.data(), content.size());
}

} // namespace

bool ReadWholeFile(const wchar_t* path, LONGLONG maxSize, std::vector<BYTE>& content)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= maxSize;
    if (ok) {
        content.assign(static_cast<size_t>(size.QuadPart), 0);
        DWORD read = 0;
        ok = content.empty() ||
             (ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr) &&
              read == content.size());
    }
    CloseHandle(file);
    return ok;
}

bool SplitSignedScript(const std::vector<BYTE>& file, std::vector<BYTE>* signedText, std::vector<BYTE>* signature)
{
    const std::string text(file.begin(), file.end());
    const std::string begin = std::string("\r\n") + kBlockBegin + "\r\n";
    const size_t blockStart = text.find(begin);
    if (blockStart == std::string::npos)
        return false;

    std::string base64;
    size_t pos = blockStart + begin.size();
    bool ended = false;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if (line == kBlockEnd) {
            ended = true;
            break;
        }
        if (line.compare(0, strlen(kLinePrefix), kLinePrefix) != 0)
            return false;
        // Only base64 may stand in the block: anything else (a lone line feed above all) would
        // be skipped by the decoder but read by the list's own parser as unsigned values.
        const std::string payload = line.substr(strlen(kLinePrefix));
        if (payload.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
            std::string::npos)
            return false;
        base64 += payload;
    }
    if (!ended || base64.empty())
        return false;
    // Nothing may follow the block: text there would be read but not signed.
    if (pos < text.size() && text.find_first_not_of("\r\n", pos) != std::string::npos)
        return false;

    DWORD size = 0;
    if (!CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, nullptr, &size,
                              nullptr, nullptr) ||
        size == 0)
        return false;
    std::vector<BYTE> decoded(size);
    if (!CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, decoded.data(),
                              &size, nullptr, nullptr))
        return false;
    decoded.resize(size);
    if (signedText != nullptr)
        signedText->assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(blockStart));
    if (signature != nullptr)
        signature->swap(decoded);
    return true;
}

bool OpenScriptSignature(const wchar_t* path, HCRYPTMSG* message, HCERTSTORE* store)
{
    if (message == nullptr || store == nullptr)
        return false;
    *message = nullptr;
    *store = nullptr;
    if (path == nullptr || path[0] == L'\0')
        return false;
    try {
        std::vector<BYTE> file;
        std::vector<BYTE> signature;
        if (!ReadWholeFile(path, kMaxScriptSize, file) || !SplitSignedScript(file, nullptr, &signature))
            return false;
        CRYPT_DATA_BLOB blob = {static_cast<DWORD>(signature.size()), signature.data()};
        DWORD encoding = 0;
        DWORD contentType = 0;
        DWORD formatType = 0;
        if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, store, message,
                              nullptr)) {
            *message = nullptr;
            *store = nullptr;
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

LONG VerifySignerSignature(HCRYPTMSG message, HCERTSTORE store, DWORD signerIndex)
{
    if (message == nullptr || store == nullptr)
        return TRUST_E_NOSIGNATURE;
    try {
        std::vector<BYTE> signerData;
        if (!ReadMessageParam(message, CMSG_SIGNER_INFO_PARAM, signerIndex, signerData) || signerData.empty())
            return TRUST_E_NOSIGNATURE;
        const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerData.data());
        CERT_INFO info = {};
        info.Issuer = signer->Issuer;
        info.SerialNumber = signer->SerialNumber;
        PCCERT_CONTEXT certificate = CertGetSubjectCertificateFromStore(store, kEncoding, &info);
        if (certificate == nullptr)
            return TRUST_E_NOSIGNATURE;
        // By index: another signer may name the same certificate.
        CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para = {};
        para.cbSize = sizeof(para);
        para.dwSignerIndex = signerIndex;
        para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
        para.pvSigner = const_cast<CERT_CONTEXT*>(certificate);
        const bool signatureOk = CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != 0;
        CertFreeCertificateContext(certificate);
        if (!signatureOk)
            return TRUST_E_BAD_DIGEST;

        std::vector<BYTE> content;
        if (!ReadMessageParam(message, CMSG_CONTENT_PARAM, 0, content) || content.empty())
            return TRUST_E_NOSIGNATURE;
        return ContentMatchesMessageDigest(*signer, content) ? 0 : TRUST_E_BAD_DIGEST;
    } catch (...) {
        return TRUST_E_NOSIGNATURE;
    }
}

LONG VerifyIndirectDataDigest(HCRYPTMSG message, HCERTSTORE store, const SubjectDigestFunction& digestOf)
{
    if (message == nullptr || store == nullptr)
        return TRUST_E_NOSIGNATURE;
    try {
        std::vector<BYTE> innerType;
        if (!ReadMessageParam(message, CMSG_INNER_CONTENT_TYPE_PARAM, 0, innerType))
            return TRUST_E_NOSIGNATURE;
        innerType.push_back(0);
        if (strcmp(reinterpret_cast<const char*>(innerType.data()), SPC_INDIRECT_DATA_OBJID) != 0)
            return TRUST_E_NOSIGNATURE;
        const LONG signerVerdict = VerifySignerSignature(message, store, 0);
        if (signerVerdict != 0)
            return signerVerdict;

        std::vector<BYTE> content;
        if (!ReadMessageParam(message, CMSG_CONTENT_PARAM, 0, content) || content.empty())
            return TRUST_E_NOSIGNATURE;

        DWORD size = 0;
        if (!CryptDecodeObject(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                               static_cast<DWORD>(content.size()), 0, nullptr, &size))
            return TRUST_E_NOSIGNATURE;
        std::vector<BYTE> indirectData(size);
        if (!CryptDecodeObject(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                               static_cast<DWORD>(content.size()), 0, indirectData.data(), &size))
            return TRUST_E_NOSIGNATURE;
        const auto* indirect = reinterpret_cast<const SPC_INDIRECT_DATA_CONTENT*>(indirectData.data());

        std::vector<BYTE> digest;
        if (indirect->DigestAlgorithm.pszObjId == nullptr || !digestOf(indirect->DigestAlgorithm.pszObjId, &digest))
            return TRUST_E_BAD_DIGEST;
        return Equal(digest, indirect->Digest.pbData, indirect->Digest.cbData) ? 0 : TRUST_E_BAD_DIGEST;
    } catch (...) {
        return TRUST_E_NOSIGNATURE;
    }
}

bool MessageDigestMatches(const CMSG_SIGNER_INFO& signer, const BYTE* content, size_t contentSize)
{
    const CRYPT_ATTR_BLOB* digestValue = nullptr;
    for (DWORD a = 0; a < signer.AuthAttrs.cAttr; ++a) {
        const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[a];
        if (attribute.pszObjId != nullptr && strcmp(attribute.pszObjId, szOID_RSA_messageDigest) == 0 &&
            attribute.cValue == 1) {
            digestValue = &attribute.rgValue[0];
            break;
        }
    }
    if (digestValue == nullptr || signer.HashAlgorithm.pszObjId == nullptr)
        return false;
    DWORD size = 0;
    if (!CryptDecodeObject(kEncoding, X509_OCTET_STRING, digestValue->pbData, digestValue->cbData, 0, nullptr,
                           &size))
        return false;
    std::vector<BYTE> decoded(size);
    if (!CryptDecodeObject(kEncoding, X509_OCTET_STRING, digestValue->pbData, digestValue->cbData, 0,
                           decoded.data(), &size))
        return false;
    const auto* expected = reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.data());
    std::vector<BYTE> computed;
    return Hash(signer.HashAlgorithm.pszObjId, content, contentSize, computed) &&
           Equal(computed, expected->pbData, expected->cbData);
}

bool ComputeDigest(const char* algorithmOid, const BYTE* data, size_t size, std::vector<BYTE>* digest)
{
    return digest != nullptr && algorithmOid != nullptr && Hash(algorithmOid, data, size, *digest);
}

LONG VerifyScriptIntegrity(const wchar_t* path, HCRYPTMSG message, HCERTSTORE store)
{
    if (path == nullptr)
        return TRUST_E_NOSIGNATURE;
    try {
        std::vector<BYTE> file;
        std::vector<BYTE> signedText;
        if (!ReadWholeFile(path, kMaxScriptSize, file) || !SplitSignedScript(file, &signedText, nullptr))
            return TRUST_E_NOSIGNATURE;
        // The script text is signed as UTF-16LE.
        std::wstring wide;
        if (!signedText.empty()) {
            const int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                                  reinterpret_cast<const char*>(signedText.data()),
                                                  static_cast<int>(signedText.size()), nullptr, 0);
            if (chars <= 0)
                return TRUST_E_BAD_DIGEST;
            wide.assign(static_cast<size_t>(chars), L'\0');
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(signedText.data()),
                                static_cast<int>(signedText.size()), &wide[0], chars);
        }
        return VerifyIndirectDataDigest(message, store, [&wide](const char* algorithm, std::vector<BYTE>* digest) {
            return ComputeDigest(algorithm, reinterpret_cast<const BYTE*>(wide.data()), wide.size() * sizeof(wchar_t),
                                 digest);
        });
    } catch (...) {
        return TRUST_E_NOSIGNATURE;
    }
}

} // namespace internal
} // namespace Lumetra
