#include "OvTelvana.h"

#include "events/CAEvent.h"
#include "service/CAEventProcessor.h"

#include "ETWLogging/LogFront.h"

#include <memory>
#include <new>

STDMETHODIMP COvTelvana::ReportEventData(BSTR bstrConfigurationData, BSTR bstrEventData,
                                         BSTR bstrListOfAttachedDataset)
{
    // The event text counts up to its first NUL, as a copy of it would.
    if (!bstrEventData || !*bstrEventData) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, L"OvTelvana", L"COvTelvana::ReportEventData", __LINE__, L"Report EventData supplied is empty");
        return 13;
    }
    try {
        CAEventProcessor::GetInstance().AddEvent(
            std::make_shared<CAEvent>(bstrConfigurationData, bstrEventData, bstrListOfAttachedDataset));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
    return S_OK;
}

STDMETHODIMP COvTelvana::ReportLogData(BSTR, BSTR, BSTR, BSTR, BSTR) { return E_NOTIMPL; }
