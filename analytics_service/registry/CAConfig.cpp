#include "registry/CAConfig.h"

#include "registry/ConfigurationRegistry.h"

#include "ETWLogging/LogFront.h"

namespace {

constexpr wchar_t kSource[] = L"CAConfig";
constexpr wchar_t kUpdateEnableFlag[] = L"CCAConfig::UpdateEnableFlag";

void LogInfo(int line, const wchar_t* text)
{
    if (ETWLogging::IsLogLevelEnabled(3)) ETWLogging::Log(3, kSource, kUpdateEnableFlag, line, text);
}

// A-Z to a-z only, the same on every machine whatever its locale.
std::wstring LowerAscii(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

} // namespace

bool CCAConfig::IsGlobalEnabled() { return m_registry->ReadGlobalEnable(); }

bool CCAConfig::IsGoogleAnalyticsEnabled() { return m_registry->ReadEnableGoogleAnalytics(); }

bool CCAConfig::IsTelvanaEnabled() { return m_registry->ReadGlobalEnable() && m_registry->ReadEnableTelvana(); }

void CCAConfig::UpdateEnableFlag()
{
    std::wstring enableList = m_registry->GetEnabledAffIdLocales();
    if (m_registry->ReadSetupComplete()) {
        LogInfo(__LINE__, L"This is not the first run");
        if (!enableList.empty()) m_registry->DeleteEnabledAffIdLocales();
        return;
    }
    const std::wstring affid = m_registry->GetAffId();
    const std::wstring culture = LowerAscii(m_registry->GetCulture());
    enableList = LowerAscii(enableList);
    if (enableList.empty() || affid.empty() || culture.empty()) {
        LogInfo(__LINE__, L"Returning since either of the enablelist, affid, culture is empty");
        return;
    }
    if (m_registry->ReadEnableTelvana()) {
        LogInfo(__LINE__, L"The value of enableTelvana was already true.");
        return;
    }
    const bool enable = MatchEnableList(affid, culture, enableList);
    if (ETWLogging::IsLogLevelEnabled(3))
        ETWLogging::Log(3, kSource, kUpdateEnableFlag, __LINE__, L"Computed value of enableTelvana:  %d", enable ? 1 : 0);
    m_registry->WriteEnableTelvana(enable);
}

bool CCAConfig::MatchEnableList(const std::wstring& affid, const std::wstring& culture, const std::wstring& enableList)
{
    return enableList.find(L";" + affid + L";") != std::wstring::npos ||
           enableList.find(L";" + affid + L"," + culture + L";") != std::wstring::npos;
}
