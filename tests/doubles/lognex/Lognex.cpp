// Test double of the outside log-controller DLL Lognex.dll.
//
// Every call, and the library's load and unload by LoadLibrary/FreeLibrary, appends one
// UTF-8 line to the file named by the environment variable TELVANA_LOGNEX_LOG (nothing
// is recorded when it is not set):
//   Load | Start(<app>) | Stop(<flag>,<app>) | RestartSession() | FlushBuffers() |
//   DllAddRef() | DllRelease() | Unload
// "Start" returns TELVANA_LOGNEX_START_RESULT (C number syntax; missing: 0).
// Built without FlushBuffers (LOGNEX_WITHOUT_FLUSHBUFFERS) or without the optional
// reference exports (LOGNEX_WITHOUT_REFCOUNT) for the variants that need it.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string Utf8(const wchar_t* text)
{
    if (!text) return "<null>";
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

void Record(const std::string& line)
{
    wchar_t path[MAX_PATH + 1];
    DWORD n = GetEnvironmentVariableW(L"TELVANA_LOGNEX_LOG", path, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

} // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI Start(const wchar_t* app)
{
    Record("Start(" + Utf8(app) + ")");
    wchar_t text[64];
    DWORD n = GetEnvironmentVariableW(L"TELVANA_LOGNEX_START_RESULT", text, 64);
    return (n == 0 || n >= 64) ? 0 : static_cast<DWORD>(wcstoul(text, nullptr, 0));
}

__declspec(dllexport) DWORD WINAPI Stop(BYTE flag, const wchar_t* app)
{
    Record("Stop(" + std::to_string(flag) + "," + Utf8(app) + ")");
    return 0;
}

__declspec(dllexport) DWORD WINAPI RestartSession()
{
    Record("RestartSession()");
    return 0;
}

#ifndef LOGNEX_WITHOUT_FLUSHBUFFERS
__declspec(dllexport) DWORD WINAPI FlushBuffers()
{
    Record("FlushBuffers()");
    return 0;
}
#endif

#ifndef LOGNEX_WITHOUT_REFCOUNT
__declspec(dllexport) DWORD WINAPI DllAddRef()
{
    Record("DllAddRef()");
    return 0;
}

__declspec(dllexport) DWORD WINAPI DllRelease()
{
    Record("DllRelease()");
    return 0;
}
#endif

} // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) Record("Load");
    // At process exit (reserved != null) the test has long read its file.
    else if (reason == DLL_PROCESS_DETACH && !reserved) Record("Unload");
    return TRUE;
}
