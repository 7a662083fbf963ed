#include "ETWLogging/EtwApi.h"

namespace ETWLogging {

ULONG EtwApi::RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid, ULONG guidCount,
                                  PTRACE_GUID_REGISTRATION guids, LPCWSTR mofImagePath, LPCWSTR mofResourceName,
                                  PTRACEHANDLE registrationHandle)
{
    return ::RegisterTraceGuidsW(callback, context, controlGuid, guidCount, guids, mofImagePath, mofResourceName,
                                 registrationHandle);
}

ULONG EtwApi::UnregisterTraceGuids(TRACEHANDLE registrationHandle)
{
    return ::UnregisterTraceGuids(registrationHandle);
}

ULONG EtwApi::TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER header)
{
    return ::TraceEvent(sessionHandle, header);
}

TRACEHANDLE EtwApi::GetTraceLoggerHandle(PVOID buffer)
{
    return ::GetTraceLoggerHandle(buffer);
}

UCHAR EtwApi::GetTraceEnableLevel(TRACEHANDLE sessionHandle)
{
    return ::GetTraceEnableLevel(sessionHandle);
}

ULONG EtwApi::GetTraceEnableFlags(TRACEHANDLE sessionHandle)
{
    return ::GetTraceEnableFlags(sessionHandle);
}

std::shared_ptr<EtwApi> EtwApi::System()
{
    static const std::shared_ptr<EtwApi> api = std::make_shared<EtwApi>();
    return api;
}

} // namespace ETWLogging
