#include "Lumetra/FileHold.h"

#include "Lumetra/PathUtils.h"

#include <winternl.h>

#include <vector>

namespace Lumetra {

namespace {

const wchar_t kExtended[] = L"\\\\?\\";

// Where GetFinalPathNameByHandleW gives up with ERROR_MORE_DATA past MAX_PATH whatever the room,
// the object name it is made from is read whole. Only a name already in DOS device form
// ("\??\C:\...", "\??\UNC\...") is taken; any other keeps the refusal.
DWORD ObjectDosPath(HANDLE file, std::wstring& path)
{
    const auto query = reinterpret_cast<decltype(&NtQueryObject)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    std::vector<BYTE> buffer(sizeof(OBJECT_NAME_INFORMATION) + 0x10000);
    ULONG returned = 0;
    if (!query || query(file, ObjectNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &returned) < 0)
        return ERROR_MORE_DATA;
    const UNICODE_STRING& name = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data())->Name;
    const std::wstring text(name.Buffer, name.Length / sizeof(wchar_t));
    if (text.compare(0, 4, L"\\??\\") != 0 || text.size() <= 4) return ERROR_MORE_DATA;
    path = kExtended + text.substr(4);
    return ERROR_SUCCESS;
}

DWORD FinalPathOf(HANDLE file, std::wstring& path)
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    // The name may grow between calls: asked again with the room it reported.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            const DWORD error = GetLastError();
            if (error == ERROR_MORE_DATA) return ObjectDosPath(file, path);
            return error != ERROR_SUCCESS ? error : ERROR_INVALID_FUNCTION;
        }
        if (length < buffer.size()) {
            path.assign(buffer.data(), length);
            return ERROR_SUCCESS;
        }
        buffer.resize(length + 1);
    }
    return ERROR_MORE_DATA;
}

} // namespace

DWORD CFileHold::Hold(const wchar_t* path)
{
    Release();
    if (!path || !path[0]) return ERROR_INVALID_PARAMETER;
    m_file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file != INVALID_HANDLE_VALUE) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_OPEN_FAILED;
}

void CFileHold::Release()
{
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

DWORD CFileHold::Hold(const wchar_t* path, std::wstring& loadPath)
{
    DWORD error = Hold(path);
    if (error == ERROR_SUCCESS) error = LoadPath(loadPath);
    if (error != ERROR_SUCCESS) Release();
    return error;
}

DWORD CFileHold::LoadPath(std::wstring& path) const
{
    if (!IsHeld()) return ERROR_INVALID_HANDLE;
    std::wstring final;
    const DWORD error = FinalPathOf(m_file, final);
    if (error != ERROR_SUCCESS) return error;
    const std::wstring plain = PlainPath(final);
    // Plain only where plain-path rules leave it as it is (they would drop trailing dots and
    // blanks, or turn a device name into a device).
    wchar_t full[MAX_PATH] = {};
    const DWORD fullLength = plain.size() < MAX_PATH ? GetFullPathNameW(plain.c_str(), MAX_PATH, full, nullptr) : 0;
    const std::wstring& chosen = fullLength == plain.size() && plain == full ? plain : final;
    const size_t name = chosen.find_last_of(L'\\');
    if (chosen.find(L'.', name == std::wstring::npos ? 0 : name) == std::wstring::npos) return ERROR_INVALID_PARAMETER;
    // Nor a name ending in a dot or blank: the loader's own trimming could map another file.
    if (chosen.back() == L'.' || chosen.back() == L' ') return ERROR_INVALID_PARAMETER;
    path = chosen;
    return ERROR_SUCCESS;
}

} // namespace Lumetra
