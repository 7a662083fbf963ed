#include "config/TelemetryGroup.h"

#include "common/ConfigFileKeys.h"
#include "config/AnalyticsConfigParser.h"

#include "ETWLogging/LogFront.h"

namespace Taliro {

using namespace Analytics;

TelemetryGroup::TelemetryGroup(const std::wstring& name, const WValue& value) : m_name(name)
{
    ProcessJsonTelmetryGroup(value);
}

void TelemetryGroup::ProcessJsonTelmetryGroup(const WValue& value)
{
    const wchar_t* function = L"Taliro::TelemetryGroup::ProcessJsonTelmetryGroup";
    if (ETWLogging::IsLogLevelEnabled(1))
        ETWLogging::Log(1, L"TelemetryGroup", function, __LINE__, L"Processing TelmetryGroup: %s", m_name.c_str());
    if (!value.IsObject()) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, L"TelemetryGroup", function, __LINE__, L"Invalid Json object");
        return;
    }
    m_transports = AnalyticsConfigParser::GetListFromSubMember(value, kTransportsKey);
    m_datasets = AnalyticsConfigParser::GetListFromSubMember(value, kConfigDatasetsKey);
    m_enabledList = AnalyticsConfigParser::GetListFromSubMember(value, kEnabledListKey);
    m_gaProfile = AnalyticsConfigParser::GetWStringFromSubMember(value, kGaProfileKey);
    m_gaDictionary = AnalyticsConfigParser::GetWStringFromSubMember(value, kConfigGaDictionaryKey);
    m_nimboDictionary = AnalyticsConfigParser::GetWStringFromSubMember(value, kConfigNimboDictionaryKey);
    m_nimboCheckEnabled = AnalyticsConfigParser::GetWStringFromSubMember(value, kConfigNimboCheckEnabledKey);
    m_appId = AnalyticsConfigParser::GetWStringFromSubMember(value, kAppIdKey);
    m_nimboSourceId = AnalyticsConfigParser::GetWStringFromSubMember(value, kConfigNimboSourceIdKey);
    auto settings = value.FindMember(kCaSettingsKey);
    if (settings != value.MemberEnd()) m_caSettings = AnalyticsConfigParser::GetMapFromObject(settings->value);
}

GoogleAnalyticsProfile::GoogleAnalyticsProfile(const std::wstring& name, const WValue& value) : m_name(name)
{
    KeyValueMap members = AnalyticsConfigParser::GetMapFromObject(value);
    auto trackingId = members.find(kTrackingIdKey);
    if (trackingId != members.end()) m_trackingId = trackingId->second;
}

AnalyticsDictionary::AnalyticsDictionary(const std::wstring& name, const WValue& value)
    : m_name(name), m_keyMap(AnalyticsConfigParser::GetMapFromObject(value))
{
}

} // namespace Taliro
