#include "datasets/Registry.h"

#include "registry/CAUtils.h"

#include "ETWLogging/LogFront.h"
#include "Lumetra/ObfuscatedRegKey.h"

DWORD GetObfuscatedStringValueFromRegistry(const std::wstring& valueName, std::wstring& text)
{
    HKEY root = HKEY_LOCAL_MACHINE;
    std::wstring path = kDataSetsKeyPath;
    ResolveRegistryLocation(root, path);
    Lumetra::CObfuscatedRegKey key;
    if (key.Open(root, path.c_str(), KEY_READ | KEY_WOW64_64KEY) != ERROR_SUCCESS) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, L"Registry", L"GetObfuscatedStringValueFromRegistry", __LINE__,
                            L"Cannot open the registry key '%s'", kDataSetsKeyPath);
        return kDataSetsKeyNotOpened;
    }
    std::wstring value;
    if (key.QueryStringValue(valueName.c_str(), value) != ERROR_SUCCESS) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, L"Registry", L"GetObfuscatedStringValueFromRegistry", __LINE__,
                            L"Cannot read the registry value '%s'", valueName.c_str());
        return kDataSetsValueNotRead;
    }
    text = std::move(value);
    return ERROR_SUCCESS;
}
