#include "Platform/CallerProcess.h"

#include <rpc.h>

#include "Platform/Handles.h"

namespace Platform {

bool CallingProcessId(DWORD& processId)
{
    processId = 0;
    unsigned long id = 0;
    // A null binding means the call this thread serves; RPC_S_NO_CALL_ACTIVE outside one.
    if (I_RpcBindingInqLocalClientPID(nullptr, &id) != RPC_S_OK || id == 0) return false;
    processId = id;
    return true;
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
