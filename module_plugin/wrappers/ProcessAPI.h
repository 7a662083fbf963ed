// Process, session and token calls behind a replaceable object.
#pragma once
#include <windows.h>

namespace Taliro {

class ProcessAPI {
public:
    virtual ~ProcessAPI() = default;
    virtual DWORD getCurrentProcessId() { return GetCurrentProcessId(); }
    virtual BOOL processIdToSessionId(DWORD processId, DWORD* sessionId)
    {
        return ProcessIdToSessionId(processId, sessionId);
    }
    virtual HANDLE getCurrentProcess() { return GetCurrentProcess(); }
    virtual BOOL createProcessAsUser(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                                     LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                                     BOOL inheritHandles, DWORD flags, LPVOID environment, LPCWSTR directory,
                                     LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information)
    {
        return CreateProcessAsUserW(token, application, commandLine, processAttributes, threadAttributes,
                                    inheritHandles, flags, environment, directory, startup, information);
    }
    virtual BOOL openProcessToken(HANDLE process, DWORD access, PHANDLE token)
    {
        return OpenProcessToken(process, access, token);
    }
    virtual BOOL adjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES privileges, DWORD length,
                                       PTOKEN_PRIVILEGES previous, PDWORD returnLength)
    {
        return AdjustTokenPrivileges(token, disableAll, privileges, length, previous, returnLength);
    }
    virtual BOOL lookupPrivilegeValue(LPCWSTR system, LPCWSTR name, PLUID luid)
    {
        return LookupPrivilegeValueW(system, name, luid);
    }
    virtual BOOL getExitCodeProcess(HANDLE process, LPDWORD code) { return GetExitCodeProcess(process, code); }
    virtual BOOL terminateProcess(HANDLE process, UINT code) { return TerminateProcess(process, code); }
    virtual BOOL closeHandle(HANDLE handle) { return CloseHandle(handle); }
    virtual DWORD getLastError() { return GetLastError(); }
    virtual DWORD waitForSingleObject(HANDLE handle, DWORD milliseconds)
    {
        return WaitForSingleObject(handle, milliseconds);
    }
};

} // namespace Taliro
