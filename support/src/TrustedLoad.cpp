#include "Lumetra/TrustedLoad.h"

#include "Lumetra/CodeTrust.h"
#include "Lumetra/SecureDll.h"

namespace Lumetra {

HMODULE LoadTrustedLibrary(const wchar_t* path, DWORD flags)
{
    DWORD trust = CheckFileTrust(path);
    if (trust != ERROR_SUCCESS) {
        SetLastError(trust);
        return nullptr;
    }
    // A relative name would follow the DLL search order and could load another file than the
    // one just checked.
    SetLastError(ERROR_SUCCESS);
    HMODULE module = LoadLibraryFullPath(path, nullptr, flags);
    if (!module && GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_PARAMETER);
    return module;
}

} // namespace Lumetra
