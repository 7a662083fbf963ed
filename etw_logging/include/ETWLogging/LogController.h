// Binding of the outside log-controller DLL Lognex.dll: found beside the executable first, then
// through the logging properties or the installed location, loaded only when its signature is
// trusted, started with the application name and stopped again when the owner goes.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "Lumetra/DllWrapperBase.h"
#include "Lumetra/FileHold.h"

namespace Lumetra {
struct ShlObjAPI;
class CRegKey;
} // namespace Lumetra

class LogControllerDLL : public Lumetra::CDllWrapperBase {
protected:
    ~LogControllerDLL() = default;
};

namespace ETWLogging {

namespace internal { class ETWAppProperties; }

// Authenticode check of the log controller: a signer whose certificate carries one of the
// built-in organisation names (exact, with case), chains to one of the built-in roots for code
// signing, passes the time-stamp chain policy, and whose file passes WinVerifyTrust.
bool VerifyFileSignature(const wchar_t* path);

// Finds a trusted copy of Lognex.dll. Owns the three objects it is built from.
class LogControllerHelper {
public:
    // Null pointers are not accepted by the users of this class; see AutoLogController.
    LogControllerHelper(std::unique_ptr<Lumetra::ShlObjAPI> shell, std::unique_ptr<Lumetra::CRegKey> key,
                        std::unique_ptr<internal::ETWAppProperties> properties);
    virtual ~LogControllerHelper();
    LogControllerHelper(const LogControllerHelper&) = delete;
    LogControllerHelper& operator=(const LogControllerHelper&) = delete;

    // Where the product's installer puts the DLL (not checked).
    virtual bool GetInstalledPath(std::wstring& path);
    virtual bool VerifySignature(const wchar_t* path);
    // The copy beside the executable, when trusted.
    virtual bool GetLocalPath(std::wstring& path);
    virtual bool GetVerifiedInstalledPath(std::wstring& path);
    // The local copy, else the logging properties' controller path for the application (or
    // the installed copy when the properties cannot be had). False, with the path empty, when
    // no trusted copy is found. The copy found stays held (see CheckHeld) until ReleaseHold.
    virtual bool FindDll(const wchar_t* applicationName, std::wstring& path);
    // Lets go of the copy found, once it is loaded or refused.
    void ReleaseHold() { m_hold.Release(); }

protected:
    // Holds the file at the path and checks it by its own final path, which replaces the path
    // when it passes: the file checked is the one the caller then loads by that path.
    bool CheckHeld(std::wstring& path);

private:
    Lumetra::CFileHold m_hold;
    std::unique_ptr<Lumetra::ShlObjAPI> m_shell;
    std::unique_ptr<Lumetra::CRegKey> m_key;
    std::unique_ptr<internal::ETWAppProperties> m_properties;
};

class AutoLogController : public LogControllerDLL {
public:
    using StartFunction = DWORD(WINAPI*)(const wchar_t* applicationName);
    using StopFunction = DWORD(WINAPI*)(BYTE flag, const wchar_t* applicationName);
    using PlainFunction = DWORD(WINAPI*)();

    // The name is not copied: it must outlive this object. Finds, checks, loads and starts.
    explicit AutoLogController(const wchar_t* applicationName);

protected:
    // The same with a finder of the caller's; null is taken as a finder that could not be made.
    AutoLogController(const wchar_t* applicationName, std::unique_ptr<LogControllerHelper> finder);

public:
    // Stops the controller (flag 0) when bound, then releases and unloads it.
    virtual ~AutoLogController();

    // Status: 0, ERROR_OUTOFMEMORY (no finder), ERROR_ACCESS_DENIED (no trusted DLL), the code of
    // a failed load or missing export, or what "Start" returned.
    DWORD Load();
    // Each calls the DLL only when its entry point is bound; otherwise ERROR_PROC_NOT_FOUND and
    // nothing happens.
    DWORD Start();
    DWORD Stop(BYTE flag);

    DWORD GetStatus() const { return m_status; }

private:
    DWORD LoadAndStart();

    StartFunction m_start = nullptr;
    StopFunction m_stop = nullptr;
    PlainFunction m_restartSession = nullptr;
    PlainFunction m_flushBuffers = nullptr;
    DWORD m_status = ERROR_SUCCESS;
    const wchar_t* m_applicationName;
    std::unique_ptr<LogControllerHelper> m_finder;
};

} // namespace ETWLogging
