// Who is calling: during an incoming cross-process COM call the RPC runtime knows the calling
// process (in local-server and service mode alike, also under Wine, where CoGetCallContext
// answers RPC_E_CALL_COMPLETE). A return address inside such a call points into the RPC stub of
// the own process and says nothing about the caller.
#pragma once
#include <windows.h>

#include <string>

namespace Platform {

// The calling process of the RPC call this thread serves; false when it serves none (an
// in-process caller) or the platform cannot tell.
bool CallingProcessId(DWORD& processId);

// The full image path of a process; false when it cannot be opened or read.
bool ProcessImagePath(DWORD processId, std::wstring& path);

} // namespace Platform
