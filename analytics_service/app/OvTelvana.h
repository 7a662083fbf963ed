// The COM object clients call: one ReportEventData call becomes one queued event; nothing else
// happens on the caller's thread. Each live object holds a server lock (Platform::ComObject).
#pragma once
#include <windows.h>
#include <ole2.h>

#include "TelvanaInterfaces.h"

#include "Platform/ComObject.h"

class COvTelvana : public Platform::ComObjectRoot, public IOvTelvana {
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv)
    {
        return Platform::QueryInterfaceFor<IOvTelvana>(this, riid, ppv);
    }

    // 13 (the plain value) for a null or empty event text; else 0, also when the queue drops it.
    STDMETHODIMP ReportEventData(BSTR bstrConfigurationData, BSTR bstrEventData, BSTR bstrListOfAttachedDataset) override;
    STDMETHODIMP ReportLogData(BSTR bstrApplicationId, BSTR bstrComponentName, BSTR bstrMethodName, BSTR bstrLogType,
                               BSTR bstrMessage) override;
};
