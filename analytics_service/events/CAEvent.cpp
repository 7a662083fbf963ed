#include "events/CAEvent.h"

#include "common/AnalyticsKeys.h"
#include "config/AnalyticsConfigManager.h"
#include "config/CAJsonParser.h"
#include "events/CommonUtilities.h"
#include "registry/CADataManager.h"
#include "registry/ConfigurationRegistry.h"

#include "ETWLogging/LogFront.h"

#include <algorithm>
#include <unordered_set>

using namespace Taliro::Analytics;

namespace {

constexpr DWORD kFail = 0x80004005;  // E_FAIL
constexpr int kDataSetFreshSeconds = 180;
const wchar_t* const kSource = L"CAEvent";
const wchar_t* const kFirstRunDataSet = L"kavo.compact";

template <typename... Args>
void LogLine(ETWLogging::LogLevel level, const wchar_t* function, int line, const wchar_t* format, Args... args)
{
    if (ETWLogging::IsLogLevelEnabled(level)) ETWLogging::Log(level, kSource, function, line, format, args...);
}

std::wstring ValueOr(const KeyValueMap& map, const std::wstring& key, const std::wstring& fallback = L"")
{
    auto found = map.find(key);
    return found == map.end() ? fallback : found->second;
}

std::shared_ptr<Taliro::AnalyticsConfigManager> ConfigManager()
{
    try {
        return Taliro::AnalyticsConfigManager::GetInstance();
    } catch (...) {
        return nullptr;
    }
}

} // namespace

CAEvent::CAEvent(const wchar_t* configuration, const wchar_t* eventData, const wchar_t* datasetList)
    : m_eventText(eventData ? eventData : L""),
      m_configurationText(configuration ? configuration : L""),
      m_datasetListText(datasetList ? datasetList : L""),
      m_dataSetStore(kDataSetFreshSeconds)
{
}

void CAEvent::ProcessEvent()
{
    const wchar_t* function = L"CAEvent::ProcessEvent";
    const int id = GetEventId();
    LogLine(1, function, __LINE__, L"Processing event %d", id);
    if (m_eventText.empty()) {
        LogLine(4, function, __LINE__, L"Event Data supplied is null or empty");
        return;
    }
    LogLine(3, function, __LINE__, L"Parsing Event Data Map");
    CCAJsonParser parser;
    KeyValueMap event;
    if (parser.JsonObjectToMap(m_eventText, event) != ERROR_SUCCESS) {
        LogLine(4, function, __LINE__, L"Failed to parse eventdata for process %d", id);
        return;
    }

    KeyValueMapLists transports;
    KeyValueMapLists datasets;
    NestedKeyValueMap settings;
    if (!GetConfigurationData(transports, datasets, settings, event)) {
        LogLine(4, function, __LINE__, L"Failed to get configuration parameters");
        return;
    }
    if (!ShouldIRun(transports)) {
        LogLine(3, function, __LINE__, L"Exiting process event due to required transport layer");
        return;
    }

    std::shared_ptr<ConfigurationRegistry> registry = ConfigurationRegistry::GetInstance();
    if (!registry->ReadSetupComplete()) {
        const KeyValueMap identity = m_dataSetStore.GetDataSet(kFirstRunDataSet);
        if (!identity.empty()) {
            for (const std::wstring* key : {&kKavoHardwareIdKey, &kKavoSoftwareIdKey, &kServiceTagKey})
                registry->WriteStringValue(*key, ValueOr(identity, *key));
            registry->WriteSetupComplete();
            registry->DeleteEnabledAffIdLocales();
        }
    }

    if (m_fromFile) {
        std::shared_ptr<Taliro::AnalyticsConfigManager> manager = ConfigManager();
        if (!manager) {
            LogLine(4, function, __LINE__, L"The configMgr is not initialized");
            return;
        }
        const std::wstring version = manager->GetFileVersion();
        event.emplace(kConfigFileVersionKey, version);
        LogLine(1, function, __LINE__, L"Config file version added, value: %s", version.c_str());
    } else {
        event.emplace(kConfigFileVersionKey, L"-1");
        LogLine(1, function, __LINE__, L"Using manual configuration. Setting config file version to -1");
    }

    if (!m_datasetListText.empty() &&
        parser.JsonNamedArrayToVector(m_datasetListText.c_str(), datasets) != ERROR_SUCCESS) {
        LogLine(4, function, __LINE__, L"Failed to parse list of additional datasets for process %d", id);
        return;
    }
    if (datasets.empty())
        LogLine(3, function, __LINE__, L"No datasets will be attached");
    else
        ProcessAdditionalDatasets(datasets, event);

    bool delta = false;
    auto settingsEntry = settings.find(kSettingsKey);
    if (settingsEntry != settings.end()) delta = ValueOr(settingsEntry->second, kSaveAndMinimiseKey) == L"true";

    // The cache is keyed by the unique id: an event without a usable one is sent whole and never
    // cached, or every such event would compare against one shared cache.
    std::wstring cacheName;
    KeyValueMap merged;
    CCADataManager dataManager;
    if (delta) {
        cacheName = ValueOr(event, kUniqueIdKey);
        delta = CCADataManager::CanCache(cacheName);
    }
    if (delta) {
        KeyValueMap cached;
        dataManager.LoadCachedMap(cacheName, cached);
        KeyValueMap changed;
        dataManager.ComputeDelta(cached, event, changed, kAlwaysSentKeys);
        dataManager.MergeMaps(cached, event, merged);
        event = std::move(changed);
    }

    event[kSenderKey] = kSenderIdValue;

    const bool delivered = ProcessTransportAndSendData(transports, settings, event);
    if (delta && delivered) dataManager.SaveCachedMap(cacheName, merged);
}

bool CAEvent::GetConfigurationData(KeyValueMapLists& transports, KeyValueMapLists& datasets,
                                   NestedKeyValueMap& settings, KeyValueMap& event)
{
    const wchar_t* function = L"CAEvent::GetConfigurationData";
    if (FetchConfiguration(transports, datasets, settings, event) == ERROR_SUCCESS) {
        m_fromFile = true;
        LogLine(3, function, __LINE__, L"Fetched configuration from the config file");
        return true;
    }
    if (m_configurationText.empty()) {
        LogLine(4, function, __LINE__, L"Failed to fetch configuration for process %d", GetEventId());
        return false;
    }
    CCAJsonParser parser;
    if (parser.JsonToObjectsAndArrays(m_configurationText, settings, transports) == ERROR_SUCCESS) {
        LogLine(3, function, __LINE__, L"Fetched configuration appended to the event");
        return true;
    }
    LogLine(4, function, __LINE__, L"Failed to parse configuration appended to the event for process %d",
            GetEventId());
    return false;
}

DWORD CAEvent::FetchConfiguration(KeyValueMapLists& transports, KeyValueMapLists& datasets,
                                  NestedKeyValueMap& settings, KeyValueMap& event)
{
    const wchar_t* function = L"CAEvent::FetchConfiguration";
    if (event.empty()) {
        LogLine(4, function, __LINE__, L"Unable to process event. Event data map is empty.");
        return kFail;
    }
    const std::wstring uniqueId = CCommonUtilities::GetUniqueId(event);
    if (uniqueId.empty()) {
        LogLine(4, function, __LINE__,
                L"Event %d - Event data does not contain a unique ID - Telemetry record will not be processed",
                GetEventId());
        return kFail;
    }
    std::shared_ptr<Taliro::AnalyticsConfigManager> manager = ConfigManager();
    if (!manager) {
        LogLine(4, function, __LINE__, L"The configMgr is not initialized");
        return kFail;
    }
    return manager->GetConfiguration(uniqueId, transports, datasets, settings);
}

bool CAEvent::ShouldIRun(const KeyValueMapLists& transports)
{
    const wchar_t* function = L"CAEvent::ShouldIRun";
    std::shared_ptr<ConfigurationRegistry> registry = ConfigurationRegistry::GetInstance();
    CCAConfig& config = registry->GetConfig();
    auto list = transports.find(kTransportKey);
    auto names = [&](const std::wstring& name) {
        return list != transports.end() &&
               std::any_of(list->second.begin(), list->second.end(),
                           [&](const KeyValueMap& entry) { return ValueOr(entry, kNameKey) == name; });
    };
    if (config.IsGoogleAnalyticsEnabled() && names(kGaTransportName)) {
        LogLine(3, function, __LINE__, L"GA Plugin is enabled and required");
        return true;
    }
    const bool nimboSink = _CheckSinkEnabled(kNimboTransportName);
    const bool gaSink = _CheckSinkEnabled(kGaTransportName);
    LogLine(3, function, __LINE__, L"Nimbo transport SINK enabled: %d", nimboSink ? 1 : 0);
    LogLine(3, function, __LINE__, L"GA transport SINK enabled: %d", gaSink ? 1 : 0);
    if (!config.IsGlobalEnabled()) {
        LogLine(3, function, __LINE__, L"None of the plugins are required/enabled");
        return false;
    }
    if (list == transports.end()) {
        LogLine(1, function, __LINE__, L"No transports were defined for evend id %d", GetEventId());
        return false;
    }
    for (const KeyValueMap& entry : list->second) {
        const std::wstring name = ValueOr(entry, kNameKey);
        if (nimboSink && name == kNimboTransportName) {
            if (config.IsTelvanaEnabled() || (ValueOr(entry, kNimboCheckEnabledKey) != L"true" && m_fromFile)) {
                LogLine(3, function, __LINE__, L"Nimbo Plugin is enabled and required");
                return true;
            }
        } else if (gaSink && name == kGaTransportName) {
            LogLine(3, function, __LINE__, L"GA Plugin is enabled and required");
            return true;
        }
    }
    LogLine(3, function, __LINE__, L"None of the plugins are required/enabled");
    return false;
}

void CAEvent::ProcessAdditionalDatasets(KeyValueMapLists& datasets, KeyValueMap& event)
{
    auto list = datasets.find(kDatasetsKey);
    if (list == datasets.end()) {
        LogLine(4, L"CAEvent::ProcessAdditionalDatasets", __LINE__, L"No datasets keys found");
        return;
    }
    // Each name once, at its first place: a client's list of repeats costs one lookup apiece.
    std::unordered_set<std::wstring> seen;
    for (const KeyValueMap& entry : list->second) {
        const std::wstring name = ValueOr(entry, kNameKey);
        if (!seen.insert(name).second) continue;
        const KeyValueMap dataset = m_dataSetStore.GetDataSet(name);
        for (const auto& pair : dataset) event.emplace(pair.first, pair.second);
    }
}
