#include "ETWLogging/ConfigurationListener.h"

#include "Lumetra/RegKey.h"

namespace ETWLogging {

CETWConfigurationListener::CETWConfigurationListener(const internal::ETWAppProperties& properties,
                                                     CLoggingIf* logger)
    : m_properties(properties), m_logger(logger)
{
}

CETWConfigurationListener::~CETWConfigurationListener() = default;

void CETWConfigurationListener::OnConfigurationChanged(bool enable, LogLevel level, ULONG flags)
{
    (void)flags;
    if (!m_logger) return;
    m_logger->SetEnabled(enable);
    m_logger->SetSeverity(level);

    HKEY root = nullptr;
    std::wstring path;
    GetSettingsKey(root, path);
    ReadSettings(root, path);

    // Later keys are more specific and win: application, then application\module.
    std::wstring name;
    m_logger->GetApplicationName(name);
    ReadSettings(root, path + L"\\" + name);
    name.clear();
    m_logger->GetComponentName(name);
    ReadSettings(root, path + L"\\" + name);
}

bool CETWConfigurationListener::AttachLogger(CLoggingIf* logger)
{
    if (m_logger || !logger) return false;
    m_logger = logger;
    return true;
}

void CETWConfigurationListener::GetSettingsKey(HKEY& root, std::wstring& path)
{
    root = m_properties.GetRegistryRoot();
    path = m_properties.GetProviderKey();
}

void CETWConfigurationListener::ReadSettings(HKEY root, const std::wstring& path)
{
    if (!m_logger) return;
    Lumetra::CRegKey key;
    if (key.Open(root, path.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS) return;
    DWORD value = 0;
    if (key.QueryDWORDValue(L"Enable", value) == ERROR_SUCCESS) m_logger->SetEnabled(value != 0);
    if (key.QueryDWORDValue(L"Severity", value) == ERROR_SUCCESS) m_logger->SetSeverity(value);
}

} // namespace ETWLogging
