#include "transports/GASender.h"

#include "transports/HttpTransaction.h"

#include "registry/CAUtils.h"

#include <ETWLogging/LogFront.h>
#include <Lumetra/RegKey.h>

#ifndef TELVANA_GA_COLLECTION_HOST
#error "The build gives the built-in collection host (TELVANA_GA_COLLECTION_HOST)"
#endif

namespace Taliro {

namespace {

const wchar_t kBuiltInHost[] = L"" TELVANA_GA_COLLECTION_HOST;

bool IsLabelChar(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-';
}

// A DNS name or dotted address: labels of 1 to 63 letters, digits and inner hyphens.
bool IsHostName(const std::wstring& name)
{
    if (name.empty() || name.size() > 253) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find(L'.', start);
        if (end == std::wstring::npos) end = name.size();
        size_t length = end - start;
        if (length == 0 || length > 63 || name[start] == L'-' || name[end - 1] == L'-') return false;
        for (size_t i = start; i < end; ++i)
            if (!IsLabelChar(name[i])) return false;
        start = end + 1;
    }
    return true;
}

bool IsPort(const std::wstring& text)
{
    if (text.empty() || text.size() > 5 || text[0] == L'0') return false;
    unsigned long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<unsigned long>(c - L'0');
    }
    return value <= 65535;
}

} // namespace

GASender::GASender() : GASender(HKEY_LOCAL_MACHINE, kSettingsKey) {}

GASender::GASender(HKEY settingsRoot, const std::wstring& settingsKey, DWORD timeoutMs)
    : m_url(L"https://" + CollectionHost(settingsRoot, settingsKey) + L"/collect"), m_timeoutMs(timeoutMs)
{
}

bool GASender::Initialize()
{
    m_sender = CreateSender(m_url);
    return m_sender && m_sender->Initialize();
}

bool GASender::Send(const std::string& body) { return m_sender && m_sender->Send(body); }

std::shared_ptr<IHttpSender> GASender::CreateSender(const std::wstring& url)
{
    return std::make_shared<HttpSender>(std::make_shared<HttpTransaction>(), url, m_timeoutMs);
}

bool GASender::IsHostOfValidForm(const std::wstring& host)
{
    size_t colon = host.find(L':');
    if (colon == std::wstring::npos) return IsHostName(host);
    return IsHostName(host.substr(0, colon)) && IsPort(host.substr(colon + 1));
}

std::wstring GASender::CollectionHost(HKEY settingsRoot, const std::wstring& settingsKey)
{
    HKEY root = settingsRoot;
    std::wstring path = settingsKey;
    ResolveRegistryLocation(root, path);
    Lumetra::CRegKey key;
    if (key.Open(root, path.c_str(), KEY_READ) != ERROR_SUCCESS) return kBuiltInHost;
    DWORD type = REG_NONE;
    ULONG size = 0;
    LONG result = key.QueryValue(kCollectionHostValue, &type, nullptr, &size);
    if (result == ERROR_FILE_NOT_FOUND) return kBuiltInHost;
    std::wstring host;
    if (result == ERROR_SUCCESS && type == REG_SZ) result = key.QueryStringValue(kCollectionHostValue, host);
    if (result == ERROR_SUCCESS && type == REG_SZ && IsHostOfValidForm(host)) return host;
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"GASender", L"Taliro::GASender::CollectionHost", __LINE__,
                        L"Registry value %s (\"%s\") is not a REG_SZ host or host:port. Using %s",
                        kCollectionHostValue, host.c_str(), kBuiltInHost);
    return kBuiltInHost;
}

} // namespace Taliro
