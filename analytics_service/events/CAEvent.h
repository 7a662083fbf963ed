// One ReportEventData call turned into an object: made on a COM thread, processed once on the
// event worker (parse, configuration, transport decision, first-run values, datasets, delta,
// transport dispatch).
#pragma once
#include "config/StringMaps.h"
#include "datasets/DataSetStore.h"
#include "events/BaseEvent.h"

#include <windows.h>

#include <string>

namespace Taliro { struct NimboPluginSettings; }

class CAEvent : public BaseEvent {
public:
    // Null texts are taken as empty.
    CAEvent(const wchar_t* configuration, const wchar_t* eventData, const wchar_t* datasetList);

    void ProcessEvent() override;

    bool GetConfigurationData(KeyValueMapLists& transports, KeyValueMapLists& datasets, NestedKeyValueMap& settings,
                              KeyValueMap& event);
    DWORD FetchConfiguration(KeyValueMapLists& transports, KeyValueMapLists& datasets, NestedKeyValueMap& settings,
                             KeyValueMap& event);
    bool ShouldIRun(const KeyValueMapLists& transports);
    void ProcessAdditionalDatasets(KeyValueMapLists& datasets, KeyValueMap& event);

    // Walks the transport entries and sends through each named, enabled and configured one.
    // True only when at least one send was made and every send made delivered: that is what
    // decides whether the delta cache may advance.
    bool ProcessTransportAndSendData(const KeyValueMapLists& transports, const NestedKeyValueMap& settings,
                                     KeyValueMap& event);
    bool _CheckSinkEnabled(const std::wstring& name);
    bool SendToGASink(const KeyValueMap& transport, const NestedKeyValueMap& settings, KeyValueMap& event);
    void AddCohortIds(const std::wstring& transportId, KeyValueMap& event);

    bool IsConfigurationFromFile() const { return m_fromFile; }
    // The Nimbo servers every event's sinks talk to (the product's by default).
    static Taliro::NimboPluginSettings& NimboSettings();

private:
    struct DispatchOutcome {
        bool tried = false;
        bool failed = false;
        void Record(bool sent)
        {
            tried = true;
            failed = failed || !sent;
        }
    };
    void SendToNimbo(const KeyValueMap& transport, const NestedKeyValueMap& settings, KeyValueMap& event,
                     DispatchOutcome& outcome);

    std::wstring m_eventText;
    std::wstring m_configurationText;
    std::wstring m_datasetListText;
    CDataSetStore m_dataSetStore;
    bool m_fromFile = false;
};
