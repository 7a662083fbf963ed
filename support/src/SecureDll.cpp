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

namespace {

// The part after "server\share" of a UNC path from its server name on (a folder and file, with
// the backslash before them), or null when it names no server and share.
const wchar_t* AfterUncRoot(const wchar_t* server)
{
    const wchar_t* share = wcschr(server, L'\\');
    if (!share || share == server) return nullptr;
    const wchar_t* rest = wcschr(share + 1, L'\\');
    return rest && rest != share + 1 ? rest : nullptr;
}

} // namespace

HMODULE LoadLibraryFullPath(const wchar_t* path, HANDLE /*reserved*/, DWORD flags)
{
    // Longer paths cannot be loaded this way anyway, and the splitter would reject them through
    // the runtime's invalid-parameter handler.
    if (!path || wcslen(path) >= MAX_PATH) return nullptr;
    // A file on a share or a mapped network drive has a final path "\\server\share\...": full as
    // much as a drive path, and so are the extended forms of both. Those take "/" literally, and
    // it names no server, so only backslashes count there; "\\.\" and "\\?\Volume{...}" stay out.
    const wchar_t* rest = path;
    bool unc = false;
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        unc = _wcsnicmp(path + 4, L"UNC\\", 4) == 0;
        rest = unc ? AfterUncRoot(path + 8) : path + 4;
    } else if (wcsncmp(path, L"\\\\", 2) == 0 && wcsncmp(path, L"\\\\.\\", 4) != 0) {
        unc = true;
        rest = AfterUncRoot(path + 2);
    }
    if (!rest || (rest != path && wcschr(path, L'/'))) return nullptr;
    wchar_t drive[3], dir[MAX_PATH], file[MAX_PATH], ext[MAX_PATH];
    if (_wsplitpath_s(rest, drive, 3, dir, MAX_PATH, file, MAX_PATH, ext, MAX_PATH) != 0) return nullptr;
    const bool hasDrive = drive[0] != L'\0';
    if (hasDrive == unc || !dir[0] || !file[0] || !ext[0]) return nullptr;
    // "C:dir\x.dll" goes from the drive's current folder.
    if (hasDrive && dir[0] != L'\\' && dir[0] != L'/') return nullptr;
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
