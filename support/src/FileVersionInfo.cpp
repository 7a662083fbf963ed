#include "Lumetra/FileVersionInfo.h"

#include "Lumetra/SecureDll.h"

#include <cwchar>

namespace Lumetra {

namespace {

void AppendHex4(std::wstring& text, WORD value)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
}

} // namespace

bool FileVersionInfo::Load(const std::wstring& path)
{
    if (m_loaded) return false;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return false;
    try {
        m_data.assign(size, 0);
    } catch (...) {
        m_data.clear();
        return false;
    }
    m_loaded = GetFileVersionInfoW(path.c_str(), 0, size, m_data.data()) == TRUE;
    return m_loaded;
}

void FileVersionInfo::Reset()
{
    m_data.clear();
    m_loaded = false;
}

std::wstring FileVersionInfo::QueryString(const std::wstring& name)
{
    if (!m_loaded) return std::wstring();
    struct Translation {
        WORD language;
        WORD codePage;
    };
    void* table = nullptr;
    UINT tableBytes = 0;
    if (!VerQueryValueW(m_data.data(), L"\\VarFileInfo\\Translation", &table, &tableBytes) || !table)
        return std::wstring();
    try {
        const auto* translations = static_cast<const Translation*>(table);
        for (UINT i = 0; i < tableBytes / sizeof(Translation); ++i) {
            std::wstring subBlock = L"\\StringFileInfo\\";
            AppendHex4(subBlock, translations[i].language);
            AppendHex4(subBlock, translations[i].codePage);
            subBlock += L'\\';
            subBlock += name;
            // A cut sub-block would name another value.
            if (subBlock.size() >= MAX_PATH) return std::wstring();
            void* value = nullptr;
            UINT valueLength = 0;
            if (VerQueryValueW(m_data.data(), subBlock.c_str(), &value, &valueLength) && value) {
                const auto* text = static_cast<const wchar_t*>(value);
                return std::wstring(text, wcsnlen(text, valueLength));
            }
        }
    } catch (...) {
    }
    return std::wstring();
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell) : m_shell(std::move(shell))
{
    if (!m_shell) m_shell = std::make_shared<ShlObjAPI>();
}

bool SystemFileVersionInfo::Load(const std::wstring& fileName)
{
    try {
        return FileVersionInfo::Load(GetSystemFolder() + fileName);
    } catch (...) {
        return false;
    }
}

std::wstring SystemFileVersionInfo::GetSystemFolder()
{
    wchar_t* path = nullptr;
    try {
        if (m_systemFolder.empty()) {
            const HRESULT hr = m_shell->GetKnownFolderPath(FOLDERID_System, 0, nullptr, &path);
            // Nothing is cached on failure, so the next call asks again.
            if (FAILED(hr) || !path) {
                CoTaskMemFreeAndClear(path);
                return L"\\";
            }
            m_systemFolder = std::wstring(path) + L"\\";
            CoTaskMemFreeAndClear(path);
        }
        return m_systemFolder;
    } catch (...) {
        CoTaskMemFreeAndClear(path);
        return L"\\";
    }
}

} // namespace Lumetra
