// Plain registry values under HKEY_LOCAL_MACHINE behind a replaceable object.
#pragma once
#include <windows.h>

#include <string>

#include "Lumetra/ShlObjAPI.h"

namespace Taliro {

class RegistryAPI {
public:
    virtual ~RegistryAPI() = default;
    // 0, or MODULE_STATUS_UNSUCCESSFUL when the key or value cannot be read.
    virtual unsigned long readString(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value);
    virtual unsigned long readDWORD(const std::wstring& keyPath, const std::wstring& valueName, DWORD& value);
};

using ShlObjAPI = Lumetra::ShlObjAPI;

} // namespace Taliro
