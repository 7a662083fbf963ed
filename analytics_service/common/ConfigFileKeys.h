// Member names of the JSON configuration file. Some share their text with event keys but are
// kept apart: the file and the event maps are separate formats.
#pragma once
#include <string>

namespace Taliro {
namespace Analytics {

inline const std::wstring kTelemetryGroupsKey = L"telemetryGroups";
inline const std::wstring kDictionariesKey = L"dictionaries";
inline const std::wstring kGaProfilesKey = L"gaProfiles";
inline const std::wstring kFileVersionKey = L"fileVersion";
inline const std::wstring kTrackingIdKey = L"trackingId";
inline const std::wstring kTransportsKey = L"transports";
inline const std::wstring kConfigDatasetsKey = L"datasets";
inline const std::wstring kEnabledListKey = L"enabledList";
inline const std::wstring kGaProfileKey = L"gaProfile";
inline const std::wstring kConfigGaDictionaryKey = L"gaDictionary";
inline const std::wstring kConfigNimboDictionaryKey = L"nimboDictionary";
inline const std::wstring kConfigNimboCheckEnabledKey = L"nimboCheckEnabled";
inline const std::wstring kAppIdKey = L"appId";
inline const std::wstring kConfigNimboSourceIdKey = L"nimboSourceId";
inline const std::wstring kCaSettingsKey = L"caSettings";

} // namespace Analytics
} // namespace Taliro
