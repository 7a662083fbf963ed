// The two probe servers' identities; Probe.idl repeats the interface, library and class GUIDs.
#pragma once
#include <windows.h>

struct ProbeIdentity {
    const wchar_t* exe;
    const wchar_t* serviceName;
    GUID appId;
    CLSID clsid;
    IID iid;
    GUID libId;
};

#define PROBE_GUID(n) {0x5d0c39a1, 0x6f1e, 0x4b7a, {0x8e, 0x21, 0x3c, 0x40, 0x51, 0x7a, (n) >> 8, (n) & 0xff}}

const ProbeIdentity kLocalProbe = {L"platform_probe_local.exe", L"PlatformProbeLocal",
                                   PROBE_GUID(0x1001), PROBE_GUID(0x1002), PROBE_GUID(0x1003), PROBE_GUID(0x1004)};
const ProbeIdentity kServiceProbe = {L"platform_probe_service.exe", L"PlatformProbeService",
                                     PROBE_GUID(0x2001), PROBE_GUID(0x2002), PROBE_GUID(0x2003), PROBE_GUID(0x2004)};
