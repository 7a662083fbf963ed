// The classic ETW provider calls the ETW logger makes, behind one small polymorphic class so
// that a trace session can be stood in for (capture the events, drive the control callback).
#pragma once
#include <windows.h>
#include <evntrace.h>

#include <memory>

namespace ETWLogging {

class EtwApi {
public:
    virtual ~EtwApi() = default;

    virtual ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, PVOID context, LPCGUID controlGuid, ULONG guidCount,
                                      PTRACE_GUID_REGISTRATION guids, LPCWSTR mofImagePath,
                                      LPCWSTR mofResourceName, PTRACEHANDLE registrationHandle);
    virtual ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle);
    virtual ULONG TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER header);
    // Sets the last error when the buffer names no session.
    virtual TRACEHANDLE GetTraceLoggerHandle(PVOID buffer);
    virtual UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle);
    virtual ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle);

    // The operating system's own calls; shared by every logger that is given no other.
    static std::shared_ptr<EtwApi> System();
};

} // namespace ETWLogging
