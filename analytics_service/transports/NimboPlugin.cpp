#include "transports/NimboPlugin.h"

#include "events/CommonUtilities.h"
#include "logging/AnalyticsLogger.h"

#include "common/AnalyticsKeys.h"
#include "config/CAJsonParser.h"
#include "registry/CAUtils.h"

#include "ETWLogging/LogFront.h"
#include "Lumetra/RegKey.h"

#include <chrono>
#include <exception>

namespace Taliro {
namespace Analytics {

const std::wstring kChannelIdKey = L"channelid";
const std::wstring kPulsekitValue = L"Pulsekit";
const std::wstring kSourceIdKey = L"sourceid";

} // namespace Analytics

namespace {

// The text up to its first terminator; a null answer reads as empty.
std::wstring TextOf(const Platform::Bstr& text) { return text.Get() ? std::wstring(text.Get()) : std::wstring(); }

constexpr wchar_t kSource[] = L"NimboPlugin";
constexpr wchar_t kCohortDataName[] = L"Nimbo_Cohort_V1";

// Creates a server for one call; a failure is logged for the calling operation.
template <typename T>
HRESULT CreateServer(const CLSID& clsid, const IID& iid, Platform::ComPtr<T>& server, const wchar_t* function, int line,
                     const wchar_t* failureFormat)
{
    HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_ALL, iid, reinterpret_cast<void**>(&server));
    if (FAILED(hr) && ETWLogging::IsLogLevelEnabled(4)) ETWLogging::Log(4, kSource, function, line, failureFormat, hr);
    return hr;
}

} // namespace

NimboPlugin::NimboPlugin(std::wstring applicationId, NimboPluginSettings settings)
    : m_applicationId(std::move(applicationId)), m_settings(std::move(settings))
{
    if (!m_settings.recordSend) m_settings.recordSend = RecordSendInTextLog;
}

void NimboPlugin::RecordSendInTextLog(const KeyValueMap& data, const std::wstring& payload, bool sent)
{
    Analytics::CAnalyticsLogger::LogRecord(Analytics::TransportsLog, Analytics::CCommonUtilities::GetUniqueId(data),
                                           {kNimboLegacyTransportName},
                                           sent ? Analytics::Success : Analytics::Fail, payload, L"");
}

bool NimboPlugin::Send(ITrackingItem& item)
{
    const wchar_t* function = L"Taliro::NimboPlugin::Send";
    try {
        KeyValueMap data = item.GetData();
        std::wstring payload = BuildEventPayload(m_applicationId, data, m_sourceId);
        bool sent = SendPayload(payload);
        if (ETWLogging::IsLogLevelEnabled(3))
            ETWLogging::Log(3, kSource, function, __LINE__, L"Data Sent to Nimbo:  %s. Result: %d", payload.c_str(),
                            sent ? 1 : 0);
        if (m_settings.recordSend) m_settings.recordSend(data, payload, sent);
        return sent;
    } catch (const std::exception& e) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, function, __LINE__, L"Exception when sending data to Nimbo: %hs", e.what());
    }
    return false;
}

bool NimboPlugin::SendPayload(const std::wstring& payload)
{
    const wchar_t* function = L"Taliro::NimboPlugin::Send";
    Platform::ComPtr<INimboClient> client;
    HRESULT hr = CreateServer(m_settings.clientClsid, kNimboClientIid, client, function, __LINE__,
                              L"Error when loading Nimbo client dll: %d");
    if (FAILED(hr)) return false;
    Platform::Bstr text(payload);
    hr = !text ? E_OUTOFMEMORY : client->SendEvent(text.Get());
    if (FAILED(hr)) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, function, __LINE__, L"Error when sending data to Nimbo: %d", hr);
        return false;
    }
    return true;
}

HRESULT NimboPlugin::GetAppInfo(const std::wstring& key, std::wstring& text)
{
    const wchar_t* function = L"Taliro::NimboPlugin::GetAppInfo";
    Platform::ComPtr<INimboClient> client;
    HRESULT hr = CreateServer(m_settings.clientClsid, kNimboClientIid, client, function, __LINE__,
                              L"Error when loading Nimbo client dll: %d");
    if (FAILED(hr)) return kServerUnavailable;
    Platform::Bstr keyText(key);
    Platform::Bstr answer;
    hr = !keyText ? E_OUTOFMEMORY : client->GetAppInfo(keyText.Get(), &answer);
    if (FAILED(hr)) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, function, __LINE__, L"Error when getting appinfo data from Nimbo: %d", hr);
        return kServerCallFailed;
    }
    text = TextOf(answer);
    return S_OK;
}

// An empty id is a failure too: it would replace a good stored id and merge every machine whose
// query fails into one client.
HRESULT NimboPlugin::GetDeviceId(const std::wstring& applicationId, std::wstring& deviceId)
{
    std::wstring id;
    HRESULT result = GetAppInfo(applicationId, id);
    if (result == S_OK && id.empty()) result = kEmptyDeviceId;
    if (result != S_OK) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, L"Taliro::NimboPlugin::GetDeviceId", __LINE__,
                            L"Error when getting DeviceID from Nimbo");
        return result;
    }
    deviceId = std::move(id);
    return S_OK;
}

HRESULT NimboPlugin::GetCohortInfo(const std::wstring& key, std::wstring& segmentId, std::wstring& cohortId)
{
    const wchar_t* function = L"Taliro::NimboPlugin::GetCohortInfo";
    segmentId = ReadCohortSegmentId();
    Platform::ComPtr<INimboCohort> cohort;
    HRESULT hr = CreateServer(m_settings.cohortClsid, kNimboCohortIid, cohort, function, __LINE__,
                              L"Error when loading Nimbo client dll: 0x%08x");
    if (FAILED(hr)) return kServerUnavailable;
    Platform::Bstr keyText(key);
    Platform::Bstr dataName(kCohortDataName);
    Platform::Bstr answer;
    hr = !!keyText && !!dataName
             ? cohort->GetCohortData(keyText.Get(), dataName.Get(), &answer)
             : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, function, __LINE__, L"Error getting cohort data from Nimbo: 0x%08x", hr);
        return kServerCallFailed;
    }
    cohortId = ParseCohortData(TextOf(answer));
    return S_OK;
}

// Read access only: a server that is not an administrator cannot open the key for writing.
std::wstring NimboPlugin::ReadCohortSegmentId()
{
    Lumetra::CRegKey key;
    std::wstring value;
    HKEY root = m_settings.queryParamsRoot;
    std::wstring path = m_settings.queryParamsPath;
    ResolveRegistryLocation(root, path);
    if (key.Open(root, path.c_str(), KEY_READ) != ERROR_SUCCESS) return {};
    if (key.QueryStringValue(L"cohortsegid", value) != ERROR_SUCCESS) return {};
    return value;
}

std::wstring NimboPlugin::ParseCohortData(const std::wstring& text)
{
    CCAJsonParser parser;
    KeyValueMap cohorts;
    parser.JsonObjectToMap(text, cohorts);
    std::wstring chosen = cohorts[L"old"];
    if (chosen.empty()) chosen = cohorts[L"new"];
    if (chosen.empty()) return {};
    KeyValueMap cohort;
    parser.JsonObjectToMap(chosen, cohort);
    return cohort[L"id"];
}

std::wstring NimboPlugin::BuildEventPayload(const std::wstring& applicationId, const KeyValueMap& data,
                                            const std::wstring& sourceId)
{
    using namespace Taliro::Analytics;
    CCAJsonParser parser;
    std::wstring eventData;
    parser.MapToNamedJsonMember(kEventDataKey, data, eventData);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    KeyValueMap header{{kApplicationIdKey, applicationId},
                       {kTimestampKey, std::to_wstring(std::chrono::duration_cast<std::chrono::seconds>(now).count())},
                       {kEventTypeKey, kGenAppEventValue}};
    if (!sourceId.empty()) {
        header[kChannelIdKey] = kPulsekitValue;
        header[kSourceIdKey] = sourceId;
    }
    std::wstring headerText;
    parser.MapToJsonString(header, headerText);
    headerText.pop_back();
    return L"{\"event\" :" + headerText + L"," + eventData + L"}}";
}

} // namespace Taliro
