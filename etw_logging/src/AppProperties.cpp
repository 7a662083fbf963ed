#include "ETWLogging/AppProperties.h"

#include "ETWLogging/ProductIds.h"
#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/RegKey.h"

#include <objbase.h>
#include <shlobj.h>

namespace ETWLogging {
namespace internal {

const wchar_t* const ETWAppProperties::kDefaultSetName = L"Kavo";

namespace {

const wchar_t* const kLoggingRootKey = L"SOFTWARE\\Orvane.logging";
const wchar_t* const kEtlFileName = L"ovlogs.etl";
const wchar_t* const kDefaultLogSubFolder = L"\\Orvane\\OVLOGS";
const wchar_t* const kDefaultEtwSubFolder = L"\\Orvane\\OVLOGS\\ETW";
const wchar_t* const kDefaultLoggingKey = L"SOFTWARE\\Orvane\\Logging";
const wchar_t* const kDefaultControllerKey = L"SOFTWARE\\Orvane\\Logging\\Controller";
const wchar_t* const kDefaultProviderKey = L"SOFTWARE\\Orvane\\Logging\\Provider";

// Accepts the text with or without its braces.
bool ParseGuidText(const std::wstring& text, GUID& guid)
{
    std::wstring braced = (!text.empty() && text[0] == L'{') ? text : L"{" + text + L"}";
    return SUCCEEDED(CLSIDFromString(braced.c_str(), &guid));
}

} // namespace

ETWAppProperties::ETWAppProperties()
    : m_sessionIdGuid{}, m_providerGuid{}, m_registryRoot(HKEY_LOCAL_MACHINE)
{
}

ETWAppProperties::~ETWAppProperties() = default;

bool ETWAppProperties::Initialize(const wchar_t* name)
{
    if (!m_name.empty()) return false;
    m_name = (name && *name) ? name : kDefaultSetName;

    if (m_baseFolder.empty() && GetCommonAppDataFolder(m_baseFolder) != ERROR_SUCCESS) return false;

    std::wstring setKey;
    GetAppKeyPath(setKey, nullptr);
    Lumetra::CRegKey key;
    if (key.Open(m_registryRoot, setKey.c_str(), KEY_QUERY_VALUE) == ERROR_SUCCESS)
        return ReadRegistryOverrides(m_baseFolder, key);
    return LoadDefaults(m_baseFolder);
}

DWORD ETWAppProperties::GetCommonAppDataFolder(std::wstring& folder)
{
    wchar_t buffer[MAX_PATH] = {};
    HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, buffer);
    folder = buffer;
    return FAILED(hr) ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

bool ETWAppProperties::ReadRegistryOverrides(const std::wstring& baseFolder, Lumetra::CRegKey& key)
{
    Lumetra::CObfuscatedRegKey setKey;
    setKey.Attach(key.Detach());

    Lumetra::CObfuscatedRegKey sessionKey, providerKey, controllerKey;
    if (sessionKey.Open(setKey.GetHandle(), L"Session", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        providerKey.Open(setKey.GetHandle(), L"Provider", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        controllerKey.Open(setKey.GetHandle(), L"Controller", KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;

    GetAppKeyPath(m_loggingKey, nullptr);
    GetAppKeyPath(m_controllerKey, L"Controller");
    GetAppKeyPath(m_providerKey, L"Provider");
    m_settingsKey = m_loggingKey;

    std::wstring logSubFolder, etwSubFolder;
    if (setKey.QueryStringValue(L"Log Path", logSubFolder) != ERROR_SUCCESS) logSubFolder = kDefaultLogSubFolder;
    if (setKey.QueryStringValue(L"ETL Path", etwSubFolder) != ERROR_SUCCESS) etwSubFolder = kDefaultEtwSubFolder;
    SetFolders(baseFolder, logSubFolder, etwSubFolder);

    // Required values, in this order; those read before a missing one keep their new values.
    if (controllerKey.QueryStringValue(L"Controller Path", m_controllerPath) != ERROR_SUCCESS) return false;
    if (controllerKey.QueryStringValue(L"Owner Mutex Name", m_ownerMutexName) != ERROR_SUCCESS) return false;
    GUID sessionId;
    if (sessionKey.QueryGUIDValue(L"Session ID Guid", sessionId) != ERROR_SUCCESS) return false;
    m_sessionIdGuid = sessionId;
    if (sessionKey.QueryStringValue(L"Session Name", m_sessionName) != ERROR_SUCCESS) return false;
    std::wstring providerText;
    GUID provider;
    if (providerKey.QueryStringValue(L"Provider Guid", providerText) != ERROR_SUCCESS ||
        !ParseGuidText(providerText, provider))
        return false;
    m_providerGuid = provider;
    return true;
}

bool ETWAppProperties::LoadDefaults(const std::wstring& baseFolder)
{
    if (_wcsicmp(m_name.c_str(), kDefaultSetName) != 0) return false;

    m_loggingKey = kDefaultLoggingKey;
    m_controllerKey = kDefaultControllerKey;
    m_providerKey = kDefaultProviderKey;
    m_settingsKey = m_loggingKey;
    SetFolders(baseFolder, kDefaultLogSubFolder, kDefaultEtwSubFolder);
    m_ownerMutexName = std::wstring(L"Global\\Orvane.") + kDefaultOwnerMutexGuidText;
    m_sessionName = std::wstring(L"Orvane.") + kDefaultSessionGuidText;
    m_sessionIdGuid = kDefaultSessionIdGuid;
    m_providerGuid = kDefaultProviderGuid;
    m_controllerPath.clear();
    return true;
}

void ETWAppProperties::GetEtlFileName(std::wstring& name)
{
    name = kEtlFileName;
}

void ETWAppProperties::GetLoggingRootKey(std::wstring& path)
{
    path = kLoggingRootKey;
}

void ETWAppProperties::GetAppKeyPath(std::wstring& path, const wchar_t* subKey)
{
    GetLoggingRootKey(path);
    path += L"\\";
    path += m_name;
    if (subKey) {
        path += L"\\";
        path += subKey;
    }
}

void ETWAppProperties::SetFolders(const std::wstring& baseFolder, const std::wstring& logSubFolder,
                                  const std::wstring& etwSubFolder)
{
    m_logFolder = baseFolder + logSubFolder;
    m_etwFolder = baseFolder + etwSubFolder;
    std::wstring etlName;
    GetEtlFileName(etlName);
    m_etlPath = m_etwFolder + L"\\" + etlName;
}

} // namespace internal
} // namespace ETWLogging
