// Fixed product identifiers of the logging library. Chosen once; tools outside this
// repository (trace sessions, log readers) rely on them, so never change them.
#pragma once
#include <windows.h>

namespace ETWLogging {

// Event class of every trace event the ETW logger writes.
// {12433D9B-E5F8-49C6-A266-8811D94F1AF7}
constexpr GUID kEventClassGuid = {0x12433d9b, 0xe5f8, 0x49c6, {0xa2, 0x66, 0x88, 0x11, 0xd9, 0x4f, 0x1a, 0xf7}};

// Default property set: control GUID of the provider.
// {82937AC0-0389-4C10-9DAE-FCFCFAD02E43}
constexpr GUID kDefaultProviderGuid = {0x82937ac0, 0x0389, 0x4c10, {0x9d, 0xae, 0xfc, 0xfc, 0xfa, 0xd0, 0x2e, 0x43}};

// Default property set: trace session id.
// {4DA368B3-EB57-4C84-961C-C5690CBC616E}
constexpr GUID kDefaultSessionIdGuid = {0x4da368b3, 0xeb57, 0x4c84, {0x96, 0x1c, 0xc5, 0x69, 0x0c, 0xbc, 0x61, 0x6e}};

// Braced GUID texts inside the default owner-mutex and session names.
constexpr const wchar_t* kDefaultOwnerMutexGuidText = L"{F38D2725-C006-424C-A2DD-31BB8563BED3}";
constexpr const wchar_t* kDefaultSessionGuidText = L"{B89459B4-A9D7-4479-B9E4-17338E483404}";

// 32-digit identifier in the file logger's cross-process mutex name ("<base>_<id>").
constexpr const wchar_t* kFileLoggerMutexId = L"D396C3F365F94294A926AA48790DAD29";

} // namespace ETWLogging
