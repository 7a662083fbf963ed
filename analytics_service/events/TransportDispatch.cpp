// The transport half of CAEvent: walks the event's transport entries and hands the event to the
// Nimbo and Google Analytics sinks that are named, enabled and configured.
#include "events/CAEvent.h"

#include "common/AnalyticsKeys.h"
#include "events/CommonUtilities.h"
#include "logging/AnalyticsLogger.h"
#include "registry/CAUtils.h"
#include "registry/ConfigurationRegistry.h"
#include "transports/GAPlugin.h"
#include "transports/NimboPlugin.h"

#include "ETWLogging/LogFront.h"
#include "Lumetra/OSInfo.h"

using namespace Taliro::Analytics;

namespace {

const wchar_t* const kSource = L"CAEvent";
const wchar_t* const kNoDeviceId = L"00000000-0000-0000-0000-000000000000";
const wchar_t* const kClientIdKey = L"ClientId";
const wchar_t* const kGaLegacyTransport = L"ga_legacy";

template <typename... Args>
void LogLine(ETWLogging::LogLevel level, const wchar_t* function, int line, const wchar_t* format, Args... args)
{
    if (ETWLogging::IsLogLevelEnabled(level)) ETWLogging::Log(level, kSource, function, line, format, args...);
}

const std::wstring* Find(const KeyValueMap& map, const std::wstring& key)
{
    auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

} // namespace

Taliro::NimboPluginSettings& CAEvent::NimboSettings()
{
    static Taliro::NimboPluginSettings settings;
    return settings;
}

bool CAEvent::_CheckSinkEnabled(const std::wstring& name)
{
    const wchar_t* function = L"CAEvent::_CheckSinkEnabled";
    const std::wstring sinks = ConfigurationRegistry::GetInstance()->GetEnabledSinks();
    LogLine(1, function, __LINE__, L"Checking if transport %s is sink enabled", name.c_str());
    if (!name.empty() && sinks.find(name) != std::wstring::npos) {
        LogLine(3, function, __LINE__, L"Transport %s is sink enabled", name.c_str());
        return true;
    }
    LogLine(3, function, __LINE__, L"Transport %s is sink disabled", name.c_str());
    return false;
}

bool CAEvent::ProcessTransportAndSendData(const KeyValueMapLists& transports, const NestedKeyValueMap& settings,
                                          KeyValueMap& event)
{
    const wchar_t* function = L"CAEvent::ProcessTransportAndSendData";
    const bool nimboSink = _CheckSinkEnabled(kNimboTransportName);
    LogLine(3, function, __LINE__, L"Nimbo transport SINK enabled: %d", nimboSink ? 1 : 0);
    auto list = transports.find(kTransportKey);
    if (list == transports.end()) {
        LogLine(4, function, __LINE__, L"No transports were defined for evend id %d", GetEventId());
        return false;
    }
    DispatchOutcome outcome;
    const std::vector<KeyValueMap> entries = list->second;
    for (const KeyValueMap& entry : entries) {
        const std::wstring* name = Find(entry, kNameKey);
        if (nimboSink && name && *name == kNimboTransportName) {
            SendToNimbo(entry, settings, event, outcome);
        } else if (name && *name == kGaTransportName &&
                   ConfigurationRegistry::GetInstance()->GetConfig().IsGoogleAnalyticsEnabled()) {
            LogLine(1, function, __LINE__, L"Transport event using GA Plugin");
            if (!Find(entry, kGaTrackingIdKey)) continue;  // nothing to send to
            const std::wstring* id = Find(entry, kIdKey);
            const std::wstring transportId = id ? *id : std::wstring();
            std::wstring deviceId;
            {
                Taliro::NimboPlugin nimbo(transportId, NimboSettings());
                if (nimbo.GetDeviceId(transportId, deviceId) != S_OK) {
                    LogLine(4, function, __LINE__, L"Error reading Nimbo Device ID");
                    deviceId = kNoDeviceId;
                }
            }
            event[kClientIdKey] = deviceId;
            event[kNimboDeviceIdKey] = deviceId;
            AddCohortIds(transportId, event);
            const bool sent = SendToGASink(entry, settings, event);
            LogLine(3, function, __LINE__, L"Event with id %d was sent status: %d", GetEventId(), sent ? 1 : 0);
            outcome.Record(sent);
        }
    }
    return outcome.tried && !outcome.failed;
}

void CAEvent::SendToNimbo(const KeyValueMap& entry, const NestedKeyValueMap& settings, KeyValueMap& event,
                          DispatchOutcome& outcome)
{
    const wchar_t* function = L"CAEvent::ProcessTransportAndSendData";
    const int eventId = GetEventId();
    const std::wstring* check = Find(entry, kNimboCheckEnabledKey);
    const bool checkRequested = check && *check == L"true";
    const bool enabled = ConfigurationRegistry::GetInstance()->GetConfig().IsTelvanaEnabled() ||
                         (!checkRequested && IsConfigurationFromFile());
    LogLine(3, function, __LINE__, L"Is Nimbo telemetry enabled from the Onboarder Settings.xml: %d",
            checkRequested ? 1 : 0);
    LogLine(3, function, __LINE__, L"Is Nimbo enabled: %d", enabled ? 1 : 0);
    const std::wstring* id = Find(entry, kIdKey);
    // A refused entry sends nothing, so it neither delivers nor fails for the delta cache.
    if (!id) {
        LogLine(4, function, __LINE__, L"Event configuration missing Nimbo application ID - Will not send");
        LogLine(4, function, __LINE__, L"Event with id %d was not sent to Nimbo", eventId);
        return;
    }
    if (!enabled) {
        LogLine(4, function, __LINE__, L"Event with id %d was not sent to Nimbo", eventId);
        return;
    }
    Taliro::NimboPlugin nimbo(*id, NimboSettings());
    event[kApplicationIdKey] = *id;
    // Only a real id is recorded: an empty one would overwrite a good stored id.
    std::wstring deviceId;
    if (nimbo.GetDeviceId(*id, deviceId) == S_OK && !deviceId.empty()) {
        event[kDeviceIdKey] = deviceId;
        ConfigurationRegistry::GetInstance()->WriteStringValue(kDeviceIdKey, deviceId);
    }
    KeyValueMap payload;
    if (IsConfigurationFromFile()) {
        LogLine(3, function, __LINE__, L"Configuration was fetched from file. Going to translate keys (if exist).");
        auto dictionary = settings.find(kNimboDictionaryKey);
        payload = TranslateKeys(event, dictionary == settings.end() ? KeyValueMap() : dictionary->second);
        const std::wstring* sourceId = Find(entry, kNimboSourceIdKey);
        nimbo.SetSourceId(sourceId ? *sourceId : std::wstring());
    } else {
        payload = event;
        LogLine(3, function, __LINE__, L"Not using configuration file. Keys will be passed as is");
    }
    Taliro::PluginTracker tracker(payload);
    const bool sent = nimbo.Send(tracker);
    if (sent)
        LogLine(3, function, __LINE__, L"Event with id %d was successfully sent to the Nimbo", eventId);
    else
        LogLine(4, function, __LINE__, L"Event with id %d was not sent to Nimbo", eventId);
    outcome.Record(sent);
}

void CAEvent::AddCohortIds(const std::wstring& transportId, KeyValueMap& event)
{
    Taliro::NimboPlugin nimbo(transportId, NimboSettings());
    std::wstring first;
    std::wstring second;
    if (FAILED(nimbo.GetCohortInfo(transportId, first, second))) return;
    if (!first.empty()) event[kKavoCohortIdKey] = first;
    if (!second.empty()) event[kRiloCohortIdKey] = second;
}

bool CAEvent::SendToGASink(const KeyValueMap& transport, const NestedKeyValueMap& settings, KeyValueMap& event)
{
    const wchar_t* function = L"CAEvent::SendToGASink";
    const std::wstring uniqueId = CCommonUtilities::GetUniqueId(event);
    LogLine(3, function, __LINE__, L"Event (%s) with id %d will be sent to the GA", uniqueId.c_str(), GetEventId());
    const std::wstring* trackingId = Find(transport, kGaTrackingIdKey);
    if (!trackingId) {
        LogLine(4, function, __LINE__, L"Unable to find transport information. Will not send");
        return false;
    }
    auto options = std::make_shared<Taliro::PluginConfiguration>(L"trackerId", *trackingId);
    auto profile = std::make_shared<Taliro::PluginConfiguration>(L"options", options);

    KeyValueMap dictionary;
    if (!settings.empty()) {
        auto found = settings.find(kGaDictionaryKey);
        if (found != settings.end())
            dictionary = found->second;
        else
            LogLine(3, function, __LINE__,
                    L"No GA Dictionary known for this event. Events may not be displayed correctly on GA");
    }

    KeyValueMap hit = event;
    if (hit.find(kOsVersionKey) == hit.end()) {
        const Lumetra::OSVersionRecord version = Lumetra::GetOSVersion();
        hit[kOsVersionKey] = std::to_wstring(version.major) + L"." + std::to_wstring(version.minor) + L"." +
                             std::to_wstring(version.servicePackMajor);
    }
    Taliro::PluginTracker tracker(hit);
    LogLine(1, function, __LINE__, L"Sending event data to GA Plugin");
    Taliro::GAPlugin plugin;
    plugin.LoadProfile(profile);
    plugin.MergeDictionary(dictionary);
    std::wstring hitText;
    const bool sent = plugin.SendWithTrackingId(tracker, hitText);
    LogLine(3, function, __LINE__, L"Data sent to GA: %s", hitText.c_str());
    CAnalyticsLogger::LogRecord(TransportsLog, uniqueId, {kGaLegacyTransport}, sent ? Success : Fail, hitText, L"");
    return sent;
}
