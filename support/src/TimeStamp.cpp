// A time stamp moves the time at which a signer's chain is judged into the past, when an
// expired or since replaced certificate was still valid. Anyone holding such a key could
// attach a stamp of their own, so a stamp counts only when it is genuine: its signature
// holds, it covers this signer's signature, and its signer chains at the stamp's time to a
// root the platform trusts, for time stamping.
#include "Lumetra/AuthenticodePolicy.h"
#include "Lumetra/Logger.h"
#include "Der.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace Lumetra {
namespace internal {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char kRfc3161TimeStamp[] = "1.3.6.1.4.1.311.3.3.1";
const BYTE kDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};

struct MessageHolder {
    HCRYPTMSG message = nullptr;
    ~MessageHolder()
    {
        if (message != nullptr)
            CryptMsgClose(message);
    }
};

struct StoreHolder {
    HCERTSTORE store = nullptr;
    ~StoreHolder()
    {
        if (store != nullptr)
            CertCloseStore(store, 0);
    }
};

bool ReadMessageParam(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE>& data, DWORD* error)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &size)) {
        *error = GetLastError();
        return false;
    }
    data.assign(size, 0);
    if (size != 0 && !CryptMsgGetParam(message, type, index, data.data(), &size)) {
        *error = GetLastError();
        return false;
    }
    data.resize(size);
    return true;
}

bool DecodeObject(LPCSTR structType, const BYTE* encoded, DWORD encodedSize, std::vector<BYTE>& decoded,
                  DWORD* error)
{
    DWORD size = 0;
    if (!CryptDecodeObject(kEncoding, structType, encoded, encodedSize, 0, nullptr, &size)) {
        *error = GetLastError();
        return false;
    }
    decoded.assign(size, 0);
    if (!CryptDecodeObject(kEncoding, structType, encoded, encodedSize, 0, decoded.data(), &size)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool OpenMessage(const BYTE* encoded, DWORD size, MessageHolder* holder, DWORD* error)
{
    if (holder->message != nullptr)
        CryptMsgClose(holder->message);
    holder->message = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (holder->message != nullptr && CryptMsgUpdate(holder->message, encoded, size, TRUE))
        return true;
    *error = GetLastError();
    return false;
}

int TwoDigits(const BYTE* text)
{
    if (text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9')
        return -1;
    return (text[0] - '0') * 10 + (text[1] - '0');
}

// Signing-time attribute (a 15-byte UTCTime) of a signer information.
DWORD SigningTimeFromSigner(const CMSG_SIGNER_INFO& signer, FILETIME* time)
{
    for (DWORD a = 0; a < signer.AuthAttrs.cAttr; ++a) {
        const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[a];
        if (attribute.pszObjId == nullptr || strcmp(attribute.pszObjId, szOID_RSA_signingTime) != 0)
            continue;
        if (attribute.cValue == 0 || attribute.rgValue[0].cbData != 15)
            continue;
        const BYTE* digits = attribute.rgValue[0].pbData + 2;
        int parts[6];
        for (int i = 0; i < 6; ++i) {
            parts[i] = TwoDigits(digits + i * 2);
            if (parts[i] < 0)
                return ERROR_INVALID_PARAMETER;
        }
        SYSTEMTIME system = {};
        system.wYear = static_cast<WORD>(parts[0] < 70 ? parts[0] + 2000 : parts[0] + 1900);
        system.wMonth = static_cast<WORD>(parts[1]);
        system.wDay = static_cast<WORD>(parts[2]);
        system.wHour = static_cast<WORD>(parts[3]);
        system.wMinute = static_cast<WORD>(parts[4]);
        system.wSecond = static_cast<WORD>(parts[5]);
        if (!SystemTimeToFileTime(&system, time)) {
            const DWORD error = GetLastError();
            *time = FILETIME{};
            return error != 0 ? error : ERROR_INVALID_PARAMETER;
        }
        return 0;
    }
    return 0;
}

// The stamp's signature as the platform checks a message signer, plus what some platforms
// leave out of that check: the signed message digest must be the digest of the content.
const wchar_t* CheckStampSignature(HCRYPTMSG stamp, PCCERT_CONTEXT certificate, const CMSG_SIGNER_INFO& stampSigner,
                                   const BYTE* content, size_t size, const wchar_t* digestMismatch, DWORD* error)
{
    if (!CryptMsgControl(stamp, 0, CMSG_CTRL_VERIFY_SIGNATURE, certificate->pCertInfo)) {
        *error = GetLastError();
        return L"its signature does not verify";
    }
    return MessageDigestMatches(stampSigner, content, size) ? nullptr : digestMismatch;
}

// A counter-signature as the one signer of a message whose content is the signature that it
// counter-signs: a form that the platform's message verification can check.
bool WrapCounterSignature(const CRYPT_ATTR_BLOB& counter, const CRYPT_DATA_BLOB& signature,
                          std::vector<BYTE>* message)
{
    const std::vector<BYTE> signer(counter.pbData, counter.pbData + counter.cbData);
    Element whole;
    std::vector<Element> fields;
    if (!ReadElement(signer, 0, signer.size(), &whole) || whole.tag != 0x30 || whole.end != signer.size() ||
        !ReadChildren(signer, whole, &fields) || fields.size() < 3 || fields[2].tag != 0x30)
        return false;
    std::vector<BYTE> digestAlgorithm;
    AppendRange(digestAlgorithm, signer, fields[2].start, fields[2].end);
    std::vector<BYTE> content(kDataOid, kDataOid + sizeof(kDataOid));
    const std::vector<BYTE> data =
        Wrap(0xA0, Wrap(0x04, std::vector<BYTE>(signature.pbData, signature.pbData + signature.cbData)));
    content.insert(content.end(), data.begin(), data.end());
    std::vector<BYTE> body = {0x02, 0x01, 0x01};
    for (const std::vector<BYTE>& part : {Wrap(0x31, digestAlgorithm), Wrap(0x30, content), Wrap(0x31, signer)})
        body.insert(body.end(), part.begin(), part.end());
    std::vector<BYTE> outer(kSignedDataOid, kSignedDataOid + sizeof(kSignedDataOid));
    const std::vector<BYTE> explicitBody = Wrap(0xA0, Wrap(0x30, body));
    outer.insert(outer.end(), explicitBody.begin(), explicitBody.end());
    *message = Wrap(0x30, outer);
    return true;
}

const wchar_t* CheckCounterSignature(HCRYPTMSG message, DWORD signerIndex, const CRYPT_ATTR_BLOB& counter,
                                     const CMSG_SIGNER_INFO& counterSigner, PCCERT_CONTEXT certificate,
                                     const CRYPT_DATA_BLOB& signature, DWORD* error)
{
    std::vector<BYTE> encodedSigner;
    if (!ReadMessageParam(message, CMSG_ENCODED_SIGNER, signerIndex, encodedSigner, error))
        return L"the signer cannot be read";
    SetLastError(0);
    if (CryptMsgVerifyCountersignatureEncodedEx(0, kEncoding, encodedSigner.data(),
                                                static_cast<DWORD>(encodedSigner.size()), counter.pbData,
                                                counter.cbData, CMSG_VERIFY_SIGNER_CERT,
                                                const_cast<CERT_CONTEXT*>(certificate), 0, nullptr))
        return nullptr;
    *error = GetLastError();
    // A placeholder of the call fails without a reason.
    if (*error != 0 && *error != static_cast<DWORD>(E_NOTIMPL) && !IsMissingOnPlatform(*error))
        return L"its signature does not verify or it does not cover this signer's signature";
    std::vector<BYTE> wrapped;
    MessageHolder stamp;
    if (!WrapCounterSignature(counter, signature, &wrapped))
        return L"it cannot be decoded";
    if (!OpenMessage(wrapped.data(), static_cast<DWORD>(wrapped.size()), &stamp, error))
        return L"it cannot be decoded";
    return CheckStampSignature(stamp.message, certificate, counterSigner, signature.pbData, signature.cbData,
                               L"it does not cover this signer's signature", error);
}

// The message imprint (digest algorithm and digest) of an RFC 3161 TSTInfo.
bool ReadImprint(const std::vector<BYTE>& info, std::string* algorithm, std::vector<BYTE>* digest, DWORD* error)
{
    std::vector<BYTE> decoded;
    if (DecodeObject(TIMESTAMP_INFO, info.data(), static_cast<DWORD>(info.size()), decoded, error)) {
        const auto* stamp = reinterpret_cast<const CRYPT_TIMESTAMP_INFO*>(decoded.data());
        if (stamp->HashAlgorithm.pszObjId == nullptr)
            return false;
        *algorithm = stamp->HashAlgorithm.pszObjId;
        digest->assign(stamp->HashedMessage.pbData, stamp->HashedMessage.pbData + stamp->HashedMessage.cbData);
        return true;
    }
    if (!IsMissingOnPlatform(*error))
        return false;
    *error = 0;
    // Where the platform has no decoder for it: TSTInfo ::= SEQUENCE { version, policy,
    // messageImprint SEQUENCE { hashAlgorithm SEQUENCE { OID, ... }, hashedMessage OCTET STRING }, ... }
    Element whole;
    std::vector<Element> fields, imprint, algorithmParts;
    if (!ReadElement(info, 0, info.size(), &whole) || whole.tag != 0x30 || !ReadChildren(info, whole, &fields) ||
        fields.size() < 3 || fields[2].tag != 0x30 || !ReadChildren(info, fields[2], &imprint) ||
        imprint.size() != 2 || imprint[0].tag != 0x30 || imprint[1].tag != 0x04 ||
        !ReadChildren(info, imprint[0], &algorithmParts) || algorithmParts.empty() || algorithmParts[0].tag != 0x06)
        return false;
    std::vector<BYTE> oid;
    if (!DecodeObject(X509_OBJECT_IDENTIFIER, info.data() + algorithmParts[0].start,
                      static_cast<DWORD>(algorithmParts[0].end - algorithmParts[0].start), oid, error))
        return false;
    *algorithm = *reinterpret_cast<const LPSTR*>(oid.data());
    digest->assign(info.begin() + static_cast<std::ptrdiff_t>(imprint[1].content),
                   info.begin() + static_cast<std::ptrdiff_t>(imprint[1].end));
    return true;
}

const wchar_t* CheckToken(HCRYPTMSG token, const CMSG_SIGNER_INFO& tokenSigner, PCCERT_CONTEXT certificate,
                          const CRYPT_DATA_BLOB& signature, DWORD* error)
{
    std::vector<BYTE> type;
    std::vector<BYTE> content;
    if (!ReadMessageParam(token, CMSG_INNER_CONTENT_TYPE_PARAM, 0, type, error) ||
        !ReadMessageParam(token, CMSG_CONTENT_PARAM, 0, content, error))
        return L"it cannot be read";
    type.push_back(0);
    if (strcmp(reinterpret_cast<const char*>(type.data()), szOID_TIMESTAMP_TOKEN) != 0)
        return L"it holds no time-stamp information";
    // Some platforms hand the information out still wrapped in its OCTET STRING.
    Element wrapper;
    if (!content.empty() && content[0] == 0x04 && ReadElement(content, 0, content.size(), &wrapper) &&
        wrapper.end == content.size())
        content.erase(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(wrapper.content));
    if (const wchar_t* reason = CheckStampSignature(token, certificate, tokenSigner, content.data(), content.size(),
                                                    L"its signature does not cover its content", error))
        return reason;
    std::string algorithm;
    std::vector<BYTE> imprint;
    std::vector<BYTE> computed;
    if (!ReadImprint(content, &algorithm, &imprint, error))
        return L"its time-stamp information cannot be decoded";
    if (!ComputeDigest(algorithm.c_str(), signature.pbData, signature.cbData, &computed) || computed != imprint)
        return L"it does not cover this signer's signature";
    return nullptr;
}

const wchar_t* CheckStampChain(PCCERT_CONTEXT certificate, HCERTSTORE store, FILETIME time, DWORD* error)
{
    PCCERT_CHAIN_CONTEXT chain = GetChainForUsage(certificate, &time, store, szOID_PKIX_KP_TIMESTAMP_SIGNING,
                                                  CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL);
    if (chain == nullptr) {
        *error = GetLastError();
        return L"its signer's chain cannot be built";
    }
    *error = chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    return *error == 0 ? nullptr : L"its signer does not chain at its time to a trusted root for time stamping";
}

// Why the stamp of signer signerIndex is not genuine, or null when it is. token: the opened
// RFC 3161 token, else null for a counter-signature (stampValue).
const wchar_t* CheckStamp(HCRYPTMSG message, DWORD signerIndex, const CRYPT_ATTR_BLOB& stampValue, HCRYPTMSG token,
                          const CMSG_SIGNER_INFO& stampSigner, FILETIME time, DWORD* error)
{
    std::vector<BYTE> signerData;
    if (!ReadMessageParam(message, CMSG_SIGNER_INFO_PARAM, signerIndex, signerData, error) || signerData.empty())
        return L"the signer cannot be read";
    const CRYPT_DATA_BLOB& signature = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerData.data())->EncryptedHash;

    StoreHolder certificates;
    certificates.store = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, token != nullptr ? token : message);
    CERT_INFO wanted = {};
    wanted.Issuer = stampSigner.Issuer;
    wanted.SerialNumber = stampSigner.SerialNumber;
    std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> certificate(
        certificates.store != nullptr ? CertGetSubjectCertificateFromStore(certificates.store, kEncoding, &wanted)
                                      : nullptr,
        &CertFreeCertificateContext);
    if (!certificate) {
        *error = GetLastError();
        return L"its signer's certificate is not in the signature";
    }
    const wchar_t* reason =
        token != nullptr ? CheckToken(token, stampSigner, certificate.get(), signature, error)
                         : CheckCounterSignature(message, signerIndex, stampValue, stampSigner, certificate.get(),
                                                 signature, error);
    return reason != nullptr ? reason : CheckStampChain(certificate.get(), certificates.store, time, error);
}

} // namespace

DWORD GetSignerSigningTime(HCRYPTMSG message, DWORD signerIndex, FILETIME* signingTime, DWORD forms)
{
    if (message == nullptr || signingTime == nullptr)
        return ERROR_INVALID_PARAMETER;
    *signingTime = FILETIME{};

    std::vector<BYTE> attributeData;
    DWORD error = 0;
    if (!ReadMessageParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, signerIndex, attributeData, &error))
        return error == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING) ? 0 : error;
    // Some platforms report "no attributes" as an empty answer instead of an error.
    if (attributeData.empty())
        return 0;
    const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(attributeData.data());

    std::vector<BYTE> signerData;
    const CRYPT_ATTR_BLOB* value = nullptr;
    MessageHolder token;
    for (DWORD a = 0; a < attributes->cAttr && signerData.empty(); ++a) {
        const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[a];
        if (attribute.pszObjId == nullptr)
            continue;
        const bool counterSignature =
            (forms & kCounterSignatureStamp) != 0 && strcmp(attribute.pszObjId, szOID_RSA_counterSign) == 0;
        const bool timeStampToken =
            (forms & kTimeStampToken) != 0 && strcmp(attribute.pszObjId, kRfc3161TimeStamp) == 0;
        if (!counterSignature && !timeStampToken)
            continue;
        value = nullptr;
        for (DWORD v = 0; v < attribute.cValue; ++v) {
            if (attribute.rgValue[v].cbData != 0) {
                value = &attribute.rgValue[v];
                break;
            }
        }
        if (value == nullptr)
            continue;
        if (counterSignature) {
            if (!DecodeObject(PKCS7_SIGNER_INFO, value->pbData, value->cbData, signerData, &error))
                return error;
        } else if (!OpenMessage(value->pbData, value->cbData, &token, &error) ||
                   !ReadMessageParam(token.message, CMSG_SIGNER_INFO_PARAM, 0, signerData, &error)) {
            return error;
        }
    }
    if (signerData.empty())
        return 0;
    const auto& stampSigner = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerData.data());
    FILETIME time = {};
    error = SigningTimeFromSigner(stampSigner, &time);
    if (error != 0 || (time.dwLowDateTime == 0 && time.dwHighDateTime == 0))
        return error;

    if (const wchar_t* reason = CheckStamp(message, signerIndex, *value, token.message, stampSigner, time, &error)) {
        CLogger::Log(2, L"Logging\\internal_logging", L"Lumetra::internal::GetSignerSigningTime", __LINE__,
                     L"Time stamp of signer %lu ignored, its chain is judged at the current time: %s (0x%08X)",
                     signerIndex, reason, error);
        return 0;
    }
    *signingTime = time;
    return 0;
}

} // namespace internal
} // namespace Lumetra
