#include "Lumetra/SecureDll.h"

#include <objbase.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cwchar>

namespace Lumetra {

bool InitSecureDllLoading()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return false;
    using SetDirsFn = BOOL(WINAPI*)(DWORD);
    auto setDirs = reinterpret_cast<SetDirsFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (!setDirs) return false;
    return setDirs(LOAD_LIBRARY_SEARCH_SYSTEM32) == 1;
}

HMODULE LoadLibraryFullPath(const wchar_t* path, HANDLE /*reserved*/, DWORD flags)
{
    // Longer paths cannot be loaded this way anyway, and the splitter would reject them through
    // the runtime's invalid-parameter handler.
    if (!path || wcslen(path) >= MAX_PATH) return nullptr;
    wchar_t drive[3], dir[MAX_PATH], file[MAX_PATH], ext[MAX_PATH];
    if (_wsplitpath_s(path, drive, 3, dir, MAX_PATH, file, MAX_PATH, ext, MAX_PATH) != 0) return nullptr;
    if (!drive[0] || !dir[0] || !file[0] || !ext[0]) return nullptr;
    return LoadLibraryExW(path, nullptr, flags);
}

HMODULE LoadLibraryFromSystemDirectory(const wchar_t* name, HANDLE /*reserved*/, DWORD flags)
{
    if (!name || wcslen(name) >= MAX_PATH) return nullptr;
    wchar_t file[MAX_PATH], ext[MAX_PATH];
    if (_wsplitpath_s(name, nullptr, 0, nullptr, 0, file, MAX_PATH, ext, MAX_PATH) != 0) return nullptr;
    // Without a file name the appended extension would name a file beside the system folder.
    if (!file[0]) return nullptr;
    wchar_t path[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    if (!PathAppendW(path, file)) return nullptr;
    if (wcscat_s(path, MAX_PATH, ext) != 0) return nullptr;
    return LoadLibraryExW(path, nullptr, flags & ~static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH));
}

void CoTaskMemFreeAndClear(wchar_t*& text)
{
    if (text) {
        CoTaskMemFree(text);
        text = nullptr;
    }
}

} // namespace Lumetra
