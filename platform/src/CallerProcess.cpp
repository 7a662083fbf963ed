#include "Platform/CallerProcess.h"

#include <rpc.h>

#include "Platform/Handles.h"

namespace Platform {

Caller CallingProcess(DWORD& processId)
{
    processId = 0;
    unsigned long id = 0;
    // A null binding means the call this thread serves.
    const RPC_STATUS status = I_RpcBindingInqLocalClientPID(nullptr, &id);
    if (status == RPC_S_NO_CALL_ACTIVE) return Caller::InProcess;
    if (status != RPC_S_OK || id == 0) return Caller::Unknown;
    processId = id;
    return Caller::OtherProcess;
}

bool ProcessImagePath(DWORD processId, std::wstring& path)
{
    path.clear();
    ProcessHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return false;
    std::wstring buffer(32768, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process.Get(), 0, &buffer[0], &length)) return false;
    path.assign(buffer.c_str(), length);
    return true;
}

} // namespace Platform
