// The Nimbo sink: sends an event to the Nimbo client server and asks the Nimbo servers for the
// device id and the cohort data. Every server is created for one call and released after it.
#pragma once
#include "config/StringMaps.h"
#include "transports/NimboIds.h"
#include "transports/Sink.h"

#include "Platform/ComPtr.h"

#include <windows.h>

#include <functional>
#include <string>

namespace Taliro {

// Transport name of a Nimbo send in the transports text log.
inline const std::wstring kNimboLegacyTransportName = L"nimbo_legacy";

// Called once per send with the event data, the payload and whether it was delivered; the
// service turns it into a transports text-log record.
using NimboSendRecorder = std::function<void(const KeyValueMap& data, const std::wstring& payload, bool sent)>;

// What the plugin talks to. The defaults are the product's; tests point them at doubles and
// scratch keys.
struct NimboPluginSettings {
    CLSID clientClsid = kNimboClientClsid;
    CLSID cohortClsid = kNimboCohortClsid;
    HKEY queryParamsRoot = HKEY_LOCAL_MACHINE;
    std::wstring queryParamsPath = L"SOFTWARE\\Orvane\\Zenvo\\AppInfo\\Substitute\\QueryParams";
    // Empty: the transports text log records the send.
    NimboSendRecorder recordSend;
};

class NimboPlugin : public ISink {
public:
    // A server that cannot be created; a server method that failed.
    static constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x80029C4A);
    static constexpr HRESULT kServerCallFailed = 120;
    // The server answered with an empty device id.
    static constexpr HRESULT kEmptyDeviceId = ERROR_INVALID_DATA;

    // Joins the calling thread to the multithreaded apartment until destruction.
    explicit NimboPlugin(std::wstring applicationId, NimboPluginSettings settings = {});
    ~NimboPlugin() override = default;
    NimboPlugin(const NimboPlugin&) = delete;
    NimboPlugin& operator=(const NimboPlugin&) = delete;

    void SetSourceId(const std::wstring& sourceId) { m_sourceId = sourceId; }
    std::wstring GetName() override { return L"nimbo"; }
    // True when the client server took the payload. Never throws.
    bool Send(ITrackingItem& item) override;

    // 0 and the server's text; kServerUnavailable or kServerCallFailed.
    HRESULT GetAppInfo(const std::wstring& key, std::wstring& text);
    // 0 with a non-empty id; otherwise the failure code and deviceId untouched.
    HRESULT GetDeviceId(const std::wstring& applicationId, std::wstring& deviceId);
    // segmentId is always set (from the registry); cohortId only on 0.
    HRESULT GetCohortInfo(const std::wstring& key, std::wstring& segmentId, std::wstring& cohortId);
    // "cohortsegid" of the query parameters key, or empty.
    std::wstring ReadCohortSegmentId();
    // The "id" of the "old" cohort object, else of the "new" one; empty when neither has one.
    std::wstring ParseCohortData(const std::wstring& text);
    // {"event" :{<header members>,"event_data":{<data>}}}
    std::wstring BuildEventPayload(const std::wstring& applicationId, const KeyValueMap& data,
                                   const std::wstring& sourceId);

    static void RecordSendInTextLog(const KeyValueMap& data, const std::wstring& payload, bool sent);

private:
    bool SendPayload(const std::wstring& payload);

    Platform::ComApartment m_apartment;
    std::wstring m_applicationId;
    std::wstring m_sourceId;
    NimboPluginSettings m_settings;
};

} // namespace Taliro
