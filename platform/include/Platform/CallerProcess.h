// Who is calling: during an incoming cross-process COM call the RPC runtime knows the calling
// process (in local-server and service mode alike, also under Wine, where CoGetCallContext
// answers RPC_E_CALL_COMPLETE). A return address inside such a call points into the RPC stub of
// the own process and says nothing about the caller.
#pragma once
#include <windows.h>

#include <string>

namespace Platform {

enum class Caller {
    OtherProcess,  // processId names it (it may be this process, through a proxy)
    InProcess,     // the thread serves no RPC call
    Unknown,       // a call the platform cannot place: decide as for a stranger
};

// Who made the call this thread serves.
Caller CallingProcess(DWORD& processId);

// The full image path of a process; false when it cannot be opened or read.
bool ProcessImagePath(DWORD processId, std::wstring& path);

} // namespace Platform
