#include "wrappers/RegistryAPI.h"

#include "ModuleTypes.h"

#include "Lumetra/RegKey.h"

namespace Taliro {

unsigned long RegistryAPI::readString(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value)
{
    Lumetra::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_READ) != ERROR_SUCCESS) return MODULE_STATUS_UNSUCCESSFUL;
    wchar_t buffer[MAX_PATH] = {};
    ULONG chars = MAX_PATH;
    if (key.QueryStringValue(valueName.c_str(), buffer, &chars) != ERROR_SUCCESS) return MODULE_STATUS_UNSUCCESSFUL;
    buffer[MAX_PATH - 1] = 0;
    value = buffer;
    return MODULE_STATUS_SUCCESS;
}

unsigned long RegistryAPI::readDWORD(const std::wstring& keyPath, const std::wstring& valueName, DWORD& value)
{
    Lumetra::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_READ) != ERROR_SUCCESS) return MODULE_STATUS_UNSUCCESSFUL;
    return key.QueryDWORDValue(valueName.c_str(), value) == ERROR_SUCCESS ? MODULE_STATUS_SUCCESS
                                                                           : MODULE_STATUS_UNSUCCESSFUL;
}

} // namespace Taliro
