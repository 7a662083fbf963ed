// Records read from the configuration file, one per member of its sections. Built once by the
// configuration manager and read only afterwards; getters hand out copies.
#pragma once
#include "config/RapidJson.h"
#include "config/StringMaps.h"

#include <string>
#include <vector>

namespace Taliro {

class TelemetryGroup {
public:
    TelemetryGroup(const std::wstring& name, const Analytics::WValue& value);

    std::vector<std::wstring> GetTransports() const { return m_transports; }
    std::vector<std::wstring> GetDatasets() const { return m_datasets; }
    std::vector<std::wstring> GetEnabledList() const { return m_enabledList; }
    std::wstring GetGaDictionaryName() const { return m_gaDictionary; }
    std::wstring GetNimboDictionaryName() const { return m_nimboDictionary; }
    std::wstring GetNimboCheckEnabled() const { return m_nimboCheckEnabled; }
    std::wstring GetGaProfileName() const { return m_gaProfile; }
    std::wstring GetAppId() const { return m_appId; }
    std::wstring GetNimboSourceId() const { return m_nimboSourceId; }
    KeyValueMap GetCaSettings() const { return m_caSettings; }

private:
    void ProcessJsonTelmetryGroup(const Analytics::WValue& value);

    std::vector<std::wstring> m_transports;
    std::vector<std::wstring> m_datasets;
    std::vector<std::wstring> m_enabledList;
    std::wstring m_gaDictionary;
    std::wstring m_nimboDictionary;
    std::wstring m_nimboCheckEnabled;
    std::wstring m_gaProfile;
    std::wstring m_appId;
    std::wstring m_name;
    std::wstring m_nimboSourceId;
    KeyValueMap m_caSettings;
};

class GoogleAnalyticsProfile {
public:
    GoogleAnalyticsProfile(const std::wstring& name, const Analytics::WValue& value);
    std::wstring GetTrackingId() const { return m_trackingId; }

private:
    std::wstring m_name;
    std::wstring m_trackingId;
};

class AnalyticsDictionary {
public:
    AnalyticsDictionary(const std::wstring& name, const Analytics::WValue& value);
    KeyValueMap GetKeyMap() const { return m_keyMap; }

private:
    std::wstring m_name;
    KeyValueMap m_keyMap;
};

} // namespace Taliro
