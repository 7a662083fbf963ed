#include "TestPki.h"
#include "TestUtil.h"

#include <wincrypt.h>

#include <cstdio>
#include <cwctype>

namespace TestPki {

namespace {

std::wstring ExeFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

} // namespace

std::wstring SignedFolder() { return ExeFolder() + L"\\signed"; }

std::wstring SignedFile(const std::wstring& name) { return SignedFolder() + L"\\" + name; }

std::wstring Value(const std::wstring& key)
{
    std::wstring text = FromUtf8(TestUtil::ReadFileBytes(SignedFile(L"trust.env")));
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == L'=')
            return line.substr(key.size() + 1);
        pos = end + 1;
    }
    return std::wstring();
}

std::vector<BYTE> Thumbprint(const std::wstring& key)
{
    std::wstring hex = Value(key);
    std::vector<BYTE> bytes;
    if (hex.empty() || hex.size() % 2) return bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (!iswxdigit(hex[i]) || !iswxdigit(hex[i + 1])) return std::vector<BYTE>();
        bytes.push_back(static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

bool TrustTestRoot()
{
    std::string der = TestUtil::ReadFileBytes(SignedFile(L"test_root.cer"));
    if (der.empty()) return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) return false;
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                  static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added != FALSE;
}

} // namespace TestPki
