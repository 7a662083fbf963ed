// Key names of event maps and of the configuration passed with an event. Every source file
// spells a key through these, so lookups stay exact and case-sensitive everywhere.
#pragma once
#include <string>
#include <vector>

namespace Taliro {
namespace Analytics {

inline const std::wstring kUniqueIdKey = L"UniqueId";
inline const std::wstring kTypeKey = L"Type";
inline const std::wstring kApplicationIdKey = L"ApplicationID";
inline const std::wstring kDeviceIdKey = L"DeviceID";
inline const std::wstring kNimboDeviceIdKey = L"Nimbo.Device.Id";
inline const std::wstring kKavoCohortIdKey = L"Kavo.CohortId";
inline const std::wstring kRiloCohortIdKey = L"Rilo.CohortId";
inline const std::wstring kOsVersionKey = L"OsVersion";
inline const std::wstring kKavoHardwareIdKey = L"Kavo_HardwareId";
inline const std::wstring kKavoSoftwareIdKey = L"Kavo_SoftwareId";
inline const std::wstring kServiceTagKey = L"__ServiceTag";
inline const std::wstring kSenderKey = L"__Sender";
// Identifies this service as the sender of every event it processes.
inline const std::wstring kSenderIdValue = L"5B1E7C3A-9D42-4F08-B6A1-2C7E93D05F14";
inline const std::wstring kMachineGuidKey = L"__MicrosoftMachineGuid";
inline const std::wstring kConfigFileVersionKey = L"CA.Config.File.Version";
inline const std::wstring kEventTypeKey = L"EventType";
inline const std::wstring kGenAppEventValue = L"GenAppEvent";
inline const std::wstring kTimestampKey = L"timestamp";
inline const std::wstring kEventDataKey = L"event_data";
inline const std::wstring kNullValue = L"null";

inline const std::wstring kTransportKey = L"transport";
inline const std::wstring kNameKey = L"name";
inline const std::wstring kIdKey = L"id";
inline const std::wstring kNimboTransportName = L"nimbo";
inline const std::wstring kGaTransportName = L"ga";
inline const std::wstring kSettingsKey = L"settings";
inline const std::wstring kSaveAndMinimiseKey = L"saveAndMinimise";
inline const std::wstring kDatasetsKey = L"datasets";
inline const std::wstring kGaTrackingIdKey = L"ga_tracking_id";
inline const std::wstring kGaDictionaryKey = L"gaDictionary";
inline const std::wstring kNimboDictionaryKey = L"nimboDictionary";
inline const std::wstring kNimboCheckEnabledKey = L"nimboCheckEnabled";
inline const std::wstring kNimboSourceIdKey = L"nimboSourceId";

// Sent with every event even when the delta against the cache finds them unchanged.
inline const std::vector<std::wstring> kAlwaysSentKeys = {
    kUniqueIdKey, kTypeKey, L"affid", L"culture", kKavoHardwareIdKey, kKavoSoftwareIdKey,
    kSenderKey, kServiceTagKey, kMachineGuidKey};

} // namespace Analytics
} // namespace Taliro
