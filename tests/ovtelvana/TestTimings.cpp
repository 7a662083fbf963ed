// The waits of OvTelvanaTestTimings.exe: the product's, unless
// HKLM\SOFTWARE\Orvane\OvTelvana\TestTimings shortens them, so that end-to-end tests and the demo
// see idle ends and back-offs in seconds. Only this test variant reads the key.
#include "Telvana.h"

#include "service/CAEventProcessor.h"

#include "Lumetra/RegKey.h"

void ApplyRunTimings(CTelvanaModule& module)
{
    Lumetra::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvane\\OvTelvana\\TestTimings", KEY_READ) != ERROR_SUCCESS) return;
    CAEventProcessor::Timing timing;
    DWORD value = 0;
    if (key.QueryDWORDValue(L"IdleMs", value) == ERROR_SUCCESS) timing.idleMs = value;
    if (key.QueryDWORDValue(L"PauseMs", value) == ERROR_SUCCESS) timing.pauseMs = value;
    if (key.QueryDWORDValue(L"BackoffStepMs", value) == ERROR_SUCCESS) timing.backoffStepMs = value;
    if (key.QueryDWORDValue(L"BackoffLimitMs", value) == ERROR_SUCCESS) timing.backoffLimitMs = value;
    if (key.QueryDWORDValue(L"ShutdownDelayMs", value) == ERROR_SUCCESS) module.SetShutdownDelay(value);
    CAEventProcessor::GetInstance().SetTiming(timing);
}
