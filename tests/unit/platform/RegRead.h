// Registry reads for the platform tests, bypassing the code under test.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace PlatformTest {

// The value's bytes and type; false when it is missing.
inline bool ReadValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD& type, std::vector<BYTE>& data)
{
    DWORD size = 0;
    const DWORD flags = RRF_RT_ANY | RRF_NOEXPAND;
    if (RegGetValueW(root, path.c_str(), name, flags, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    return RegGetValueW(root, path.c_str(), name, flags, &type, data.data(), &size) == ERROR_SUCCESS;
}

// A string value's text, "<missing>" or "<type N>" when it is no string of the expected type.
inline std::wstring ReadText(HKEY root, const std::wstring& path, const wchar_t* name, DWORD expectedType = REG_SZ)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!ReadValue(root, path, name, type, data)) return L"<missing>";
    if (type != expectedType) return L"<type " + std::to_wstring(type) + L">";
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
}

inline bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

} // namespace PlatformTest
