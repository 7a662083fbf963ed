#include "Lumetra/PathUtils.h"

#include <cwchar>

namespace Lumetra {

namespace {

// The end of the component that begins at `from`, past its separator.
size_t AfterComponent(const std::wstring& path, size_t from)
{
    const size_t separator = path.find(L'\\', from);
    return separator == std::wstring::npos ? path.size() : separator + 1;
}

// How much of a full path names its root, with the separator: "C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\". Nothing at or above it is ever created.
size_t RootLength(const std::wstring& path)
{
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) {
        if (_wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0) return AfterComponent(path, AfterComponent(path, 8));
        return AfterComponent(path, 4);
    }
    if (path.compare(0, 2, L"\\\\") == 0) return AfterComponent(path, AfterComponent(path, 2));
    return AfterComponent(path, 0);
}

// Creates the directory of a full path after its parents.
DWORD CreateDirectories(const std::wstring& path, size_t rootLength)
{
    if (DirectoryExists(path.c_str())) return ERROR_SUCCESS;
    if (path.size() <= rootLength) return ERROR_PATH_NOT_FOUND;
    const size_t last = path.rfind(L'\\');
    if (last != std::wstring::npos && last >= rootLength) {
        const DWORD parent = CreateDirectories(path.substr(0, last), rootLength);
        if (parent != ERROR_SUCCESS) return parent;
    }
    if (CreateDirectoryW(path.c_str(), nullptr)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    // Someone else may have created it meanwhile; a file of that name is no directory, though.
    if (error == ERROR_ALREADY_EXISTS && DirectoryExists(path.c_str())) return ERROR_SUCCESS;
    return error;
}

bool IsDriveLetter(wchar_t c)
{
    c = static_cast<wchar_t>(c | 0x20);
    return c >= L'a' && c <= L'z';
}

bool HasDotComponent(const wchar_t* path)
{
    for (const wchar_t* part = path;;) {
        const wchar_t* end = wcschr(part, L'\\');
        const size_t length = end ? static_cast<size_t>(end - part) : wcslen(part);
        if ((length == 1 || length == 2) && wcsncmp(part, L"..", length) == 0) return true;
        if (!end) return false;
        part = end + 1;
    }
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
    if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && separator(path[2])) return true;
    // A third separator names no server.
    return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

std::wstring ExtendedLengthPath(const std::wstring& full)
{
    if (full.size() < MAX_PATH || full.compare(0, 4, L"\\\\?\\") == 0) return full;
    if (full.compare(0, 4, L"\\\\.\\") == 0) return L"\\\\?\\" + full.substr(4);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring PlainPath(const std::wstring& path)
{
    if (path.compare(0, 4, L"\\\\?\\") != 0) return path;
    // The system takes "UNC" in either case; a volume name or any other form has no plain one.
    if (_wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0) return L"\\\\" + path.substr(8);
    if (path.size() >= 7 && IsDriveLetter(path[4]) && path[5] == L':' && path[6] == L'\\') return path.substr(4);
    return path;
}

bool CreateDirectoryPath(const wchar_t* path, DWORD* error)
{
    DWORD ignored = 0;
    DWORD& result = error ? *error : ignored;
    if (!path || !*path) {
        result = ERROR_INVALID_PARAMETER;
        return false;
    }
    // The system takes a "\\?\" path literally: a "." or ".." in it names no folder, and the
    // parents before it would be made for nothing.
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && HasDotComponent(path + 4)) {
        result = ERROR_CANNOT_MAKE;
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
        if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
            full = path;   // taken by the system as it is written
        } else {
            // The system's own reading: "/" separates, "C:x" is below drive C's current folder, a
            // UNC path stays on its server, and "\\x" is below the current folder's root.
            wchar_t buffer[MAX_PATH + 1] = {};
            const DWORD length = GetFullPathNameW(path, MAX_PATH + 1, buffer, nullptr);
            if (length == 0) {
                result = ERROR_PATH_NOT_FOUND;
                return false;
            }
            // One that did not fit is longer still, and refused below.
            full.assign(buffer, length <= MAX_PATH ? length : MAX_PATH);
        }
        // Creating a cut path would report success for a folder nobody asked for.
        if (full.size() > MAX_PATH - 1) {
            result = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        if (CreateDirectories(full, RootLength(full)) != ERROR_SUCCESS) {
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
