// Some platforms refuse to decode an Authenticode message whose SignerInfos hold more than one
// signer. Each signer is then handed out in a message of its own, built from the same parts.
#include "Lumetra/AuthenticodePolicy.h"
#include "Lumetra/SecureDll.h"
#include "Der.h"

#include <imagehlp.h>
#include <wintrust.h>

#include <cstring>

#include <string>
#include <vector>

namespace Lumetra {
namespace internal {

const BYTE kSignedDataOid[11] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

bool ReadElement(const std::vector<BYTE>& der, size_t pos, size_t limit, Element* element)
{
    if (pos + 2 > limit)
        return false;
    element->start = pos;
    element->tag = der[pos++];
    if ((element->tag & 0x1F) == 0x1F)
        return false;
    size_t length = der[pos++];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || pos + count > limit)
            return false;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | der[pos++];
    }
    if (length > limit - pos)
        return false;
    element->content = pos;
    element->end = pos + length;
    return true;
}

bool ReadChildren(const std::vector<BYTE>& der, const Element& parent, std::vector<Element>* children)
{
    children->clear();
    for (size_t pos = parent.content; pos < parent.end;) {
        Element child;
        if (!ReadElement(der, pos, parent.end, &child))
            return false;
        children->push_back(child);
        pos = child.end;
    }
    return true;
}

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kMaxSignatureSize = 16 * 1024 * 1024;
constexpr LONGLONG kMaxImageSize = 512LL * 1024 * 1024;

void AppendLength(std::vector<BYTE>& out, size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<BYTE>(length));
        return;
    }
    BYTE bytes[sizeof(size_t)];
    int count = 0;
    for (; length != 0; length >>= 8)
        bytes[count++] = static_cast<BYTE>(length & 0xFF);
    out.push_back(static_cast<BYTE>(0x80 | count));
    while (count > 0)
        out.push_back(bytes[--count]);
}

} // namespace

std::vector<BYTE> Wrap(BYTE tag, const std::vector<BYTE>& content)
{
    std::vector<BYTE> out(1, tag);
    AppendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

void AppendRange(std::vector<BYTE>& out, const std::vector<BYTE>& der, size_t from, size_t to)
{
    out.insert(out.end(), der.begin() + static_cast<std::ptrdiff_t>(from), der.begin() + static_cast<std::ptrdiff_t>(to));
}

namespace {

bool ReadEmbeddedSignature(const wchar_t* path, std::vector<BYTE>* signature)
{
    HMODULE imagehlp = LoadLibraryFromSystemDirectory(L"imagehlp.dll");
    if (imagehlp == nullptr)
        return false;
    using EnumerateFunction = BOOL(WINAPI*)(HANDLE, WORD, PDWORD, PDWORD, DWORD);
    using GetDataFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPWIN_CERTIFICATE, PDWORD);
    auto enumerate = reinterpret_cast<EnumerateFunction>(
        reinterpret_cast<void*>(GetProcAddress(imagehlp, "ImageEnumerateCertificates")));
    auto getData = reinterpret_cast<GetDataFunction>(
        reinterpret_cast<void*>(GetProcAddress(imagehlp, "ImageGetCertificateData")));
    bool ok = false;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (enumerate != nullptr && getData != nullptr && file != INVALID_HANDLE_VALUE) {
        DWORD count = 0;
        DWORD index = 0;
        DWORD size = 0;
        if (enumerate(file, WIN_CERT_TYPE_PKCS_SIGNED_DATA, &count, &index, 1) && count != 0) {
            getData(file, index, nullptr, &size);
            if (size > offsetof(WIN_CERTIFICATE, bCertificate) && size <= kMaxSignatureSize) {
                std::vector<BYTE> buffer(size);
                auto* certificate = reinterpret_cast<LPWIN_CERTIFICATE>(buffer.data());
                if (getData(file, index, certificate, &size) && certificate->dwLength <= size &&
                    certificate->dwLength > offsetof(WIN_CERTIFICATE, bCertificate)) {
                    signature->assign(certificate->bCertificate,
                                      certificate->bCertificate + certificate->dwLength -
                                          offsetof(WIN_CERTIFICATE, bCertificate));
                    ok = true;
                }
            }
        }
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    FreeLibrary(imagehlp);
    return ok;
}

} // namespace

bool SplitSignedDataBySigner(const std::vector<BYTE>& contentInfo, std::vector<std::vector<BYTE>>* perSigner)
{
    perSigner->clear();
    Element outer;
    std::vector<Element> parts;
    if (!ReadElement(contentInfo, 0, contentInfo.size(), &outer) || outer.tag != 0x30 ||
        !ReadChildren(contentInfo, outer, &parts) || parts.size() != 2 ||
        parts[0].end - parts[0].start != sizeof(kSignedDataOid) ||
        !std::equal(kSignedDataOid, kSignedDataOid + sizeof(kSignedDataOid), contentInfo.begin() + parts[0].start) ||
        parts[1].tag != 0xA0)
        return false;
    std::vector<Element> explicitContent;
    if (!ReadChildren(contentInfo, parts[1], &explicitContent) || explicitContent.size() != 1 ||
        explicitContent[0].tag != 0x30)
        return false;
    std::vector<Element> fields;
    if (!ReadChildren(contentInfo, explicitContent[0], &fields) || fields.size() < 4 || fields.back().tag != 0x31)
        return false;
    std::vector<Element> signers;
    if (!ReadChildren(contentInfo, fields.back(), &signers) || signers.empty())
        return false;

    for (const Element& signer : signers) {
        std::vector<BYTE> signedData;
        AppendRange(signedData, contentInfo, fields.front().start, fields.back().start);
        std::vector<BYTE> one;
        AppendRange(one, contentInfo, signer.start, signer.end);
        const std::vector<BYTE> signerSet = Wrap(0x31, one);
        signedData.insert(signedData.end(), signerSet.begin(), signerSet.end());
        std::vector<BYTE> body(kSignedDataOid, kSignedDataOid + sizeof(kSignedDataOid));
        const std::vector<BYTE> wrapped = Wrap(0xA0, Wrap(0x30, signedData));
        body.insert(body.end(), wrapped.begin(), wrapped.end());
        perSigner->push_back(Wrap(0x30, body));
    }
    return true;
}

bool OpenSignaturePerSigner(const wchar_t* path, std::vector<SignerMessage>* messages)
{
    if (messages == nullptr)
        return false;
    messages->clear();
    if (path == nullptr || path[0] == L'\0')
        return false;
    try {
        std::vector<BYTE> signature;
        std::vector<std::vector<BYTE>> parts;
        if (!ReadEmbeddedSignature(path, &signature))
            return false;
        // The table entry may be padded after the encoded message.
        Element whole;
        if (!ReadElement(signature, 0, signature.size(), &whole))
            return false;
        signature.resize(whole.end);
        if (!SplitSignedDataBySigner(signature, &parts) || parts.size() < 2)
            return false;
        for (const std::vector<BYTE>& part : parts) {
            SignerMessage opened;
            opened.message = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
            if (opened.message == nullptr ||
                !CryptMsgUpdate(opened.message, part.data(), static_cast<DWORD>(part.size()), TRUE)) {
                if (opened.message != nullptr)
                    CryptMsgClose(opened.message);
                CloseSignerMessages(messages);
                return false;
            }
            opened.store = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, opened.message);
            messages->push_back(opened);
            if (opened.store == nullptr) {
                CloseSignerMessages(messages);
                return false;
            }
        }
        return true;
    } catch (...) {
        CloseSignerMessages(messages);
        return false;
    }
}

LONG VerifyPeImageIntegrity(const wchar_t* path, HCRYPTMSG message, HCERTSTORE store)
{
    if (path == nullptr)
        return TRUST_E_NOSIGNATURE;
    try {
        std::vector<BYTE> image;
        const bool read = ReadWholeFile(path, kMaxImageSize, image);
        if (!read || image.size() < 0x40)
            return TRUST_E_NOSIGNATURE;

        // Authenticode's image digest leaves out the checksum, the certificate table's directory
        // entry and the certificate table itself.
        const DWORD peOffset = *reinterpret_cast<const DWORD*>(&image[0x3C]);
        if (static_cast<size_t>(peOffset) + 24 + 2 > image.size() || memcmp(&image[peOffset], "PE\0\0", 4) != 0)
            return TRUST_E_NOSIGNATURE;
        const size_t optional = peOffset + 24;
        const WORD magic = *reinterpret_cast<const WORD*>(&image[optional]);
        const size_t checksum = optional + 64;
        const size_t securityEntry = optional + (magic == 0x20B ? 112 : 96) + 4 * 8;
        if (securityEntry + 8 > image.size())
            return TRUST_E_NOSIGNATURE;
        const DWORD tableOffset = *reinterpret_cast<const DWORD*>(&image[securityEntry]);
        const DWORD tableSize = *reinterpret_cast<const DWORD*>(&image[securityEntry + 4]);
        if (tableOffset < securityEntry + 8 || static_cast<size_t>(tableOffset) + tableSize > image.size())
            return TRUST_E_NOSIGNATURE;
        std::vector<BYTE> covered;
        covered.reserve(image.size());
        AppendRange(covered, image, 0, checksum);
        AppendRange(covered, image, checksum + 4, securityEntry);
        AppendRange(covered, image, securityEntry + 8, tableOffset);
        AppendRange(covered, image, static_cast<size_t>(tableOffset) + tableSize, image.size());
        return VerifyIndirectDataDigest(message, store, [&covered](const char* algorithm, std::vector<BYTE>* digest) {
            return ComputeDigest(algorithm, covered.data(), covered.size(), digest);
        });
    } catch (...) {
        return TRUST_E_NOSIGNATURE;
    }
}

void CloseSignerMessages(std::vector<SignerMessage>* messages)
{
    if (messages == nullptr)
        return;
    for (SignerMessage& opened : *messages) {
        if (opened.store != nullptr)
            CertCloseStore(opened.store, CERT_CLOSE_STORE_FORCE_FLAG);
        if (opened.message != nullptr)
            CryptMsgClose(opened.message);
    }
    messages->clear();
}

} // namespace internal
} // namespace Lumetra
