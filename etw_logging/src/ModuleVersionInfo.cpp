#include "ETWLogging/ETWLogger.h"

#include <cstdio>
#include <vector>

namespace ETWLogging {

namespace {

// The module whose code this is, also when the library is linked into a DLL.
HMODULE ModuleOfThisCode()
{
    MEMORY_BASIC_INFORMATION info = {};
    if (!VirtualQuery(reinterpret_cast<const void*>(&ModuleOfThisCode), &info, sizeof(info))) return nullptr;
    return static_cast<HMODULE>(info.AllocationBase);
}

std::wstring ReadFileVersion(const wchar_t* path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return {};
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data())) return {};

    void* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &translation, &length) || !translation ||
        length < 4)
        return {};
    const WORD* language = static_cast<const WORD*>(translation);
    wchar_t query[64];
    _snwprintf(query, 63, L"\\StringFileInfo\\%04x%04x\\FileVersion", language[0], language[1]);
    query[63] = L'\0';

    void* text = nullptr;
    if (!VerQueryValueW(data.data(), query, &text, &length) || !text || length == 0) return {};
    std::wstring version(static_cast<const wchar_t*>(text));

    unsigned a = 0, b = 0, c = 0, d = 0;
    if (swscanf(version.c_str(), L"%u,%u,%u,%u", &a, &b, &c, &d) == 4)
        version = std::to_wstring(a) + L"." + std::to_wstring(b) + L"." + std::to_wstring(c) + L"." +
                  std::to_wstring(d);
    return version;
}

} // namespace

ModuleVersionInfo::ModuleVersionInfo(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    m_fullPath = path;
    size_t slash = m_fullPath.find_last_of(L'\\');
    m_fileName = slash == std::wstring::npos ? m_fullPath : m_fullPath.substr(slash + 1);
    m_fileVersion = ReadFileVersion(path);
}

const ModuleVersionInfo& ModuleVersionInfo::Instance()
{
    static const ModuleVersionInfo info(ModuleOfThisCode());
    return info;
}

} // namespace ETWLogging
