// Loading a DLL only after its code-trust check has passed.
#pragma once
#include <windows.h>

namespace Lumetra {

// Checks the file's trust (CheckFileTrust) and loads it by full path with the given flags. Null
// when the check refuses (the thread's last error is then the check's code: 5 not trusted, 87
// bad argument) or when the path is not a complete one (last error 87) or the load fails.
HMODULE LoadTrustedLibrary(const wchar_t* path, DWORD flags);

} // namespace Lumetra
