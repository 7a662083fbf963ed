// The service's configuration file: which transports, datasets, dictionaries and settings apply
// to an event, chosen by the event's unique id. Read once, at the first successful Initialize,
// and kept for the life of the process. Only the event worker calls it.
#pragma once
#include "config/RapidJson.h"
#include "config/StringMaps.h"
#include "config/TelemetryGroup.h"

#include <windows.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace Taliro {

class AnalyticsConfigManager {
public:
    // The process-wide instance, made on first call; a throwing construction is retried by the next call.
    static std::shared_ptr<AnalyticsConfigManager> GetInstance();

    AnalyticsConfigManager() = default;
    AnalyticsConfigManager(const AnalyticsConfigManager&) = delete;
    AnalyticsConfigManager& operator=(const AnalyticsConfigManager&) = delete;

    // True once the file named by the registry value "configFileDir" has been loaded.
    bool Initialize();
    // 0, E_ABORT (empty path or unopenable file) or E_FAIL.
    DWORD Initialize(const std::wstring& path);
    DWORD ParseConfigFile(const std::wstring& path, Analytics::WDocument& document);
    DWORD ProcessAll(const Analytics::WDocument& document);

    // Fills the three (empty) maps from the group whose "enabledList" names the id; E_FAIL when none does.
    DWORD GetConfiguration(const std::wstring& uniqueId, KeyValueMapLists& transports, KeyValueMapLists& datasets,
                           NestedKeyValueMap& settings);
    std::wstring GetFileVersion() const { return m_fileVersion; }

    std::shared_ptr<TelemetryGroup> GetTelemetryGroup(const std::wstring& uniqueId) const;
    std::shared_ptr<GoogleAnalyticsProfile> GetGaProfile(const std::wstring& name) const;
    std::shared_ptr<AnalyticsDictionary> GetDictionary(const std::wstring& name) const;

private:
    void Clear();

    std::vector<std::shared_ptr<TelemetryGroup>> m_groups;
    std::unordered_map<std::wstring, std::shared_ptr<GoogleAnalyticsProfile>> m_gaProfiles;
    std::unordered_map<std::wstring, std::shared_ptr<AnalyticsDictionary>> m_dictionaries;
    std::unordered_map<std::wstring, std::shared_ptr<TelemetryGroup>> m_groupIndex;
    bool m_initialized = false;
    std::wstring m_fileVersion;
};

} // namespace Taliro
