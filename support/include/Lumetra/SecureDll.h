// Guarded DLL loading: restrict the search path, load only by full path or from the system folder.
#pragma once
#include <windows.h>

namespace Lumetra {

// Restricts the process's DLL search to the system folder; false when the OS cannot.
bool InitSecureDllLoading();

// Loads only a complete path: a drive or "\\server\share" (either also in its "\\?\" form), a folder,
// a file name and an extension. Anything else, every relative form among it, gives null without a
// load attempt.
HMODULE LoadLibraryFullPath(const wchar_t* path, HANDLE reserved = nullptr, DWORD flags = 0);

// Loads the named file from the system folder; any folder part of the name is ignored.
HMODULE LoadLibraryFromSystemDirectory(const wchar_t* name, HANDLE reserved = nullptr, DWORD flags = 0);

// Frees a CoTaskMemAlloc'd string and clears the pointer.
void CoTaskMemFreeAndClear(wchar_t*& text);

} // namespace Lumetra
