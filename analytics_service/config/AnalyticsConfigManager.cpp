#include "config/AnalyticsConfigManager.h"

#include "common/AnalyticsKeys.h"
#include "common/ConfigFileKeys.h"
#include "registry/ConfigurationRegistry.h"

#include "ETWLogging/LogFront.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/filereadstream.h>

#include <cstdio>
#include <memory>

namespace Taliro {

using namespace Analytics;

namespace {

constexpr DWORD kAbort = 0x80004004;  // E_ABORT
constexpr DWORD kFail = 0x80004005;   // E_FAIL
constexpr size_t kReadBufferSize = 100000;
const wchar_t* const kSource = L"AnalyticsConfigManager";

template <typename... Args>
void LogLine(ETWLogging::LogLevel level, const wchar_t* function, int line, const wchar_t* format, Args... args)
{
    if (ETWLogging::IsLogLevelEnabled(level)) ETWLogging::Log(level, kSource, function, line, format, args...);
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Members of a section that should be an object; a section of another type contributes nothing.
template <typename Fn>
void ForEachMember(const WDocument& document, const std::wstring& section, Fn&& fn)
{
    auto found = document.FindMember(section);
    if (found == document.MemberEnd() || !found->value.IsObject()) return;
    for (auto member = found->value.MemberBegin(); member != found->value.MemberEnd(); ++member)
        fn(JsonStringText(member->name), member->value);
}

} // namespace

std::shared_ptr<AnalyticsConfigManager> AnalyticsConfigManager::GetInstance()
{
    static ETWLogging::internal::RetryingOnce once;
    static std::shared_ptr<AnalyticsConfigManager> instance;
    once.Call([] { instance = std::make_shared<AnalyticsConfigManager>(); });
    return instance;
}

bool AnalyticsConfigManager::Initialize()
{
    const wchar_t* function = L"Taliro::AnalyticsConfigManager::Initialize";
    if (m_initialized) return true;
    LogLine(1, function, __LINE__, L"Starting to Initialize AnalyticsConfigManager");
    std::wstring path;
    try {
        path = ConfigurationRegistry().GetConfigFileDir();
    } catch (...) {
        path.clear();
    }
    m_initialized = Initialize(path) == ERROR_SUCCESS;
    if (!m_initialized)
        LogLine(4, function, __LINE__, L"Failed to initialize AnalyticsConfigManager. Will not attempt again.");
    return m_initialized;
}

DWORD AnalyticsConfigManager::Initialize(const std::wstring& path)
{
    const wchar_t* function = L"Taliro::AnalyticsConfigManager::Initialize";
    if (path.empty()) {
        LogLine(4, function, __LINE__, L"Configuration File Name is Empty");
        return kAbort;
    }
    WDocument document;
    DWORD result = ParseConfigFile(path, document);
    if (result != ERROR_SUCCESS) {
        LogLine(4, function, __LINE__, L"Error parsing json file");
        return result;
    }
    Clear();
    return ProcessAll(document);
}

DWORD AnalyticsConfigManager::ParseConfigFile(const std::wstring& path, WDocument& document)
{
    const wchar_t* function = L"Taliro::AnalyticsConfigManager::ParseConfigFile";
    std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"rb"));
    if (!file) {
        LogLine(4, function, __LINE__, L"Failed to open file %s", path.c_str());
        return kAbort;
    }
    bool parsed = false;
    try {
        std::unique_ptr<char[]> buffer(new char[kReadBufferSize]);
        rapidjson::FileReadStream bytes(file.get(), buffer.get(), kReadBufferSize);
        // Skips a UTF-8 byte-order mark; the text is transcoded to UTF-16 while parsing.
        rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::FileReadStream> text(bytes);
        document.ParseStream<kJsonParseFlags, rapidjson::UTF8<>>(text);
        parsed = !document.HasParseError();
    } catch (const std::exception&) {
        parsed = false;
    }
    file.reset();
    if (!parsed) {
        LogLine(4, function, __LINE__, L"Failed to parse config file.");
        return kFail;
    }
    if (!document.IsObject()) {
        LogLine(4, function, __LINE__, L"Config file is not a valid objed");
        return kFail;
    }
    return ERROR_SUCCESS;
}

DWORD AnalyticsConfigManager::ProcessAll(const WDocument& document)
{
    const wchar_t* function = L"Taliro::AnalyticsConfigManager::ProcessAll";
    LogLine(1, function, __LINE__, L"Starting to process configuration document");
    try {
        if (!document.IsObject()) throw std::invalid_argument("configuration root");
        ForEachMember(document, kTelemetryGroupsKey, [this](const std::wstring& name, const WValue& value) {
            auto group = std::make_shared<TelemetryGroup>(name, value);
            for (const std::wstring& uniqueId : group->GetEnabledList()) m_groupIndex[uniqueId] = group;
            m_groups.push_back(group);
        });
        ForEachMember(document, kDictionariesKey, [this](const std::wstring& name, const WValue& value) {
            m_dictionaries[name] = std::make_shared<AnalyticsDictionary>(name, value);
        });
        ForEachMember(document, kGaProfilesKey, [this](const std::wstring& name, const WValue& value) {
            m_gaProfiles[name] = std::make_shared<GoogleAnalyticsProfile>(name, value);
        });
        auto version = document.FindMember(kFileVersionKey);
        if (version != document.MemberEnd() && version->value.IsString()) m_fileVersion = JsonStringText(version->value);
    } catch (...) {
        LogLine(4, function, __LINE__, L"Unhandeled exception occured while processing Analytics Config Manager");
        return kFail;
    }
    return ERROR_SUCCESS;
}

DWORD AnalyticsConfigManager::GetConfiguration(const std::wstring& uniqueId, KeyValueMapLists& transports,
                                               KeyValueMapLists& datasets, NestedKeyValueMap& settings)
{
    const wchar_t* function = L"Taliro::AnalyticsConfigManager::GetConfiguration";
    try {
        LogLine(3, function, __LINE__, L"Retrieving Telemetry Group for uid: %s", uniqueId.c_str());
        std::shared_ptr<TelemetryGroup> group = GetTelemetryGroup(uniqueId);
        if (!group) {
            LogLine(3, function, __LINE__, L"No LEGACY Telemetry Group Was found");
            return kFail;
        }
        const std::vector<std::wstring> transportNames = group->GetTransports();
        const std::vector<std::wstring> datasetNames = group->GetDatasets();
        const std::wstring gaDictionaryName = group->GetGaDictionaryName();
        const std::wstring nimboDictionaryName = group->GetNimboDictionaryName();
        const std::wstring gaProfileName = group->GetGaProfileName();
        const std::wstring appId = group->GetAppId();
        const KeyValueMap caSettings = group->GetCaSettings();

        LogLine(3, function, __LINE__, L"Retrieving GA profile based on GA Profile name: %s", gaProfileName.c_str());
        std::wstring trackingId;
        if (auto profile = GetGaProfile(gaProfileName)) {
            LogLine(3, function, __LINE__, L"GA profile found. Retrieving Tracking ID");
            trackingId = profile->GetTrackingId();
        }
        KeyValueMap gaKeys;
        if (auto dictionary = GetDictionary(gaDictionaryName)) {
            LogLine(3, function, __LINE__, L"GA dictionary found. Retrieving dictionary");
            gaKeys = dictionary->GetKeyMap();
        }
        KeyValueMap nimboKeys;
        if (auto dictionary = GetDictionary(nimboDictionaryName)) {
            LogLine(3, function, __LINE__, L"Nimbo dictionary found. Retrieving dictionary");
            nimboKeys = dictionary->GetKeyMap();
        }

        LogLine(3, function, __LINE__, L"Updating Transports Map");
        std::vector<KeyValueMap> transportList;
        for (const std::wstring& name : transportNames) {
            KeyValueMap entry{{kNameKey, name}, {kIdKey, appId}};
            if (name == kGaTransportName) entry[kGaTrackingIdKey] = trackingId;
            if (name == kNimboTransportName) {
                entry[kNimboCheckEnabledKey] = group->GetNimboCheckEnabled();
                entry[kNimboSourceIdKey] = group->GetNimboSourceId();
            }
            transportList.push_back(std::move(entry));
        }
        transports.emplace(kTransportKey, std::move(transportList));

        LogLine(3, function, __LINE__, L"Updating Datasets Map");
        std::vector<KeyValueMap> datasetList;
        for (const std::wstring& name : datasetNames) datasetList.push_back(KeyValueMap{{kNameKey, name}});
        datasets.emplace(kDatasetsKey, std::move(datasetList));

        LogLine(3, function, __LINE__, L"Updating Settings Map");
        settings.emplace(kGaDictionaryKey, std::move(gaKeys));
        settings.emplace(kNimboDictionaryKey, std::move(nimboKeys));
        if (!caSettings.empty()) settings.emplace(kSettingsKey, caSettings);
    } catch (...) {
        LogLine(4, function, __LINE__, L"Unhandeled exception occured while retrieving configuration for uid: %s",
                uniqueId.c_str());
        return kFail;
    }
    return ERROR_SUCCESS;
}

std::shared_ptr<TelemetryGroup> AnalyticsConfigManager::GetTelemetryGroup(const std::wstring& uniqueId) const
{
    auto found = m_groupIndex.find(uniqueId);
    return found == m_groupIndex.end() ? nullptr : found->second;
}

std::shared_ptr<GoogleAnalyticsProfile> AnalyticsConfigManager::GetGaProfile(const std::wstring& name) const
{
    auto found = m_gaProfiles.find(name);
    return found == m_gaProfiles.end() ? nullptr : found->second;
}

std::shared_ptr<AnalyticsDictionary> AnalyticsConfigManager::GetDictionary(const std::wstring& name) const
{
    if (name.empty()) return nullptr;
    auto found = m_dictionaries.find(name);
    return found == m_dictionaries.end() ? nullptr : found->second;
}

void AnalyticsConfigManager::Clear()
{
    m_groups.clear();
    m_gaProfiles.clear();
    m_dictionaries.clear();
    m_groupIndex.clear();
    m_fileVersion.clear();
}

} // namespace Taliro
