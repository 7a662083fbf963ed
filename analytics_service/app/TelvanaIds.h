// The product's own identities: read by widl (OvTelvana.idl) and by C++.
#pragma once

#define TELVANA_APPID_TEXT A8244490-233C-408D-B22D-B0B08238DB1B
#define OVTELVANA_CLSID_TEXT 19759024-FB14-4392-AC8B-61BB1CD62E56
#define IOVTELVANA_IID_TEXT 4E5664E9-8D0B-4C53-8718-33F01B9FE129
#define IOVCLASSFACTORY_IID_TEXT 96ACDAED-C79B-4983-8E4A-960CBB6379AF
#define IOVCLASSFACTORY_PRE_IID_TEXT 30A9A6BB-575E-41F0-A880-542EBC1EAD54
#define OVTELVANA_LIBID_TEXT BC68E3DA-52FA-45C8-A6EE-E289096750DB
// {75E0EF32-FD60-4729-97D3-6C13A98D7C25}: the class of OvTelvanaPS.dll, the proxy/stub factory
// of the factory interfaces (an initializer, for that DLL's C code too).
#define OVTELVANA_PS_CLSID_INIT {0x75e0ef32, 0xfd60, 0x4729, {0x97, 0xd3, 0x6c, 0x13, 0xa9, 0x8d, 0x7c, 0x25}}

#ifndef __WIDL__
#include <windows.h>

#ifdef __cplusplus
// {A8244490-233C-408D-B22D-B0B08238DB1B}
inline constexpr GUID kTelvanaAppId = {0xa8244490, 0x233c, 0x408d, {0xb2, 0x2d, 0xb0, 0xb0, 0x82, 0x38, 0xdb, 0x1b}};
inline constexpr GUID kTelvanaProxyStubClsid = OVTELVANA_PS_CLSID_INIT;
#endif

// Resources of OvTelvana.exe.
#define IDS_PROJNAME 100
#define IDR_TELVANA_APPID 101
#define IDS_SERVICENAME 102
#define IDR_OVTELVANA 106
#define IDR_OVTELVANA_PROXYSTUB 107
#endif
