#include "Lumetra/PathUtils.h"

#include <cwchar>

namespace Lumetra {

namespace {

// Creates the directory after its parents; the drive root is never created.
DWORD CreateDirectories(const std::wstring& path)
{
    if (DirectoryExists(path.c_str())) return ERROR_SUCCESS;
    const size_t last = path.rfind(L'\\');
    if (last == std::wstring::npos) return ERROR_SUCCESS;
    if (path.find(L'\\') != last) {
        const DWORD parent = CreateDirectories(path.substr(0, last));
        if (parent != ERROR_SUCCESS) return parent;
    }
    if (CreateDirectoryW(path.c_str(), nullptr)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    // Someone else may have created it meanwhile; a file of that name is no directory, though.
    if (error == ERROR_ALREADY_EXISTS && DirectoryExists(path.c_str())) return ERROR_SUCCESS;
    return error;
}

} // namespace

bool GetModuleFolder(std::wstring& folder, bool keepBackslash)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH + 1);
    // A cut name would name some other folder.
    if (length == 0 || length > MAX_PATH) return false;
    wchar_t* backslash = wcsrchr(buffer, L'\\');
    if (!backslash) return false;
    backslash[keepBackslash ? 1 : 0] = L'\0';
    try {
        folder = buffer;
    } catch (...) {
        return false;
    }
    return true;
}

bool SplitModuleFileName(HMODULE module, std::wstring& folder, bool keepBackslash, std::wstring& fileName)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    const wchar_t* backslash = wcsrchr(buffer, L'\\');
    if (!backslash) return false;
    try {
        fileName = backslash + 1;
        folder.assign(buffer, static_cast<size_t>(backslash - buffer) + (keepBackslash ? 1 : 0));
    } catch (...) {
        return false;
    }
    return true;
}

bool DirectoryExists(const wchar_t* path)
{
    if (!path || !*path) return false;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsAbsolutePath(const std::wstring& path)
{
    auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    const wchar_t drive = static_cast<wchar_t>(path.empty() ? 0 : path[0] | 0x20);
    if (path.size() >= 3 && drive >= L'a' && drive <= L'z' && path[1] == L':' && separator(path[2])) return true;
    // A third separator names no server.
    return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

bool CreateDirectoryPath(const wchar_t* path, DWORD* error)
{
    DWORD ignored = 0;
    DWORD& result = error ? *error : ignored;
    if (!path || !*path) {
        result = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (DirectoryExists(path)) {
        result = ERROR_ALREADY_EXISTS;
        return true;
    }
    wchar_t current[MAX_PATH] = {};
    const DWORD currentLength = GetCurrentDirectoryW(MAX_PATH, current);
    if (currentLength == 0 || currentLength >= MAX_PATH) {
        result = ERROR_PATH_NOT_FOUND;
        return false;
    }

    try {
        std::wstring full;
        if (path[0] == L'\\') full.assign(current, 2).append(path);
        else if (path[1] == L':') full = path;
        else full.assign(current).append(L"\\").append(path);
        // Creating a cut path would report success for a folder nobody asked for.
        if (full.size() > MAX_PATH - 1) {
            result = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        if (CreateDirectories(full) != ERROR_SUCCESS) {
            result = ERROR_CANNOT_MAKE;
            return false;
        }
    } catch (...) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    result = ERROR_SUCCESS;
    return true;
}

} // namespace Lumetra
