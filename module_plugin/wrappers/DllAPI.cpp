#include "wrappers/DllAPI.h"

#include "ModuleStatus.h"

#include "Lumetra/CodeTrust.h"
#include "Lumetra/TrustedLoad.h"

namespace Taliro {

bool DllAPI::loadLibrary(const std::wstring& path, HMODULE* module)
{
    HMODULE loaded = Lumetra::LoadTrustedLibrary(path.c_str(), 0);
    if (!loaded) {
        const DWORD error = GetLastError();
        TALIRO_LOG(4, L"wrappers\\DllAPI", L"Taliro::DllAPI::loadLibrary", L"LoadLibrary Failed. GLE: %lu", error);
        return false;
    }
    if (module) *module = loaded;
    return true;
}

FARPROC DllAPI::getProcAddress(HMODULE module, const char* name) { return GetProcAddress(module, name); }

bool DllAPI::isTrusted(const std::wstring& path)
{
    return !path.empty() && Lumetra::CheckFileTrust(path.c_str()) == ERROR_SUCCESS;
}

bool DllAPI::freeLibrary(HMODULE module) { return FreeLibrary(module) != FALSE; }

} // namespace Taliro
