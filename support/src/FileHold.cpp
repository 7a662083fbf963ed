#include "Lumetra/FileHold.h"

namespace Lumetra {

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

} // namespace Lumetra
