#include "wrappers/PathAPI.h"

#include "Lumetra/PathUtils.h"

#include <shlwapi.h>

#include <vector>

namespace Taliro {

namespace {

// Closes a handle of CreateFileW or FindFirstFileW when the scope ends.
struct FileHandle {
    HANDLE handle;
    bool find;
    ~FileHandle()
    {
        if (handle == INVALID_HANDLE_VALUE || !handle) return;
        if (find)
            FindClose(handle);
        else
            CloseHandle(handle);
    }
};

bool IsDotEntry(const wchar_t* name) { return !wcscmp(name, L".") || !wcscmp(name, L".."); }

// Removes a junction or symbolic link itself. The handle must show the link, not its target: where
// the platform opens through the link (Wine does so with host links), nothing is removed, as
// removing "the link" there would remove an empty target instead.
bool RemoveLink(const std::wstring& path)
{
    FileHandle link{CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
                    false};
    if (link.handle == INVALID_HANDLE_VALUE) return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(link.handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    FILE_BASIC_INFO basic{};
    if ((tag.FileAttributes & FILE_ATTRIBUTE_READONLY) &&
        GetFileInformationByHandleEx(link.handle, FileBasicInfo, &basic, sizeof basic)) {
        basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
        SetFileInformationByHandle(link.handle, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(link.handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

} // namespace

bool PathAPI::fileExists(const std::wstring& path)
{
    if (path.empty()) return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathAPI::directoryExists(const std::wstring& path) { return Lumetra::DirectoryExists(path.c_str()); }

bool PathAPI::isRegularFile(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    return !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT));
}

bool PathAPI::deleteFiles(const wchar_t* pattern, bool withSubdirectories)
{
    if (!pattern || !*pattern || IsDotEntry(pattern)) return false;
    const wchar_t* slash = wcsrchr(pattern, L'\\');
    if (!slash) return false;
    const std::wstring folder(pattern, slash + 1);
    WIN32_FIND_DATAW data;
    FileHandle find{FindFirstFileW(pattern, &data), true};
    if (find.handle == INVALID_HANDLE_VALUE) return false;
    bool all = true;
    do {
        if (IsDotEntry(data.cFileName)) continue;
        const std::wstring path = folder + data.cFileName;
        if (path.size() >= MAX_PATH) {
            all = false;
            continue;
        }
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            // A junction or link: only the link goes, never what it points to.
            if (withSubdirectories && !RemoveLink(path)) all = false;
        } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (withSubdirectories && !deleteDirectory(path.c_str())) all = false;
        } else {
            SetFileAttributesW(path.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            if (!DeleteFileW(path.c_str())) all = false;
        }
    } while (FindNextFileW(find.handle, &data));
    return all;
}

bool PathAPI::createDirectory(const std::wstring& path) { return Lumetra::CreateDirectoryPath(path.c_str(), nullptr); }

bool PathAPI::deleteDirectory(const wchar_t* path)
{
    if (!path || !*path || IsDotEntry(path) || !Lumetra::DirectoryExists(path)) return false;
    // A trailing separator would make the attributes those of a link's target.
    std::wstring folder(path);
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/') && folder[folder.size() - 2] != L':')
        folder.pop_back();
    const DWORD own = GetFileAttributesW(folder.c_str());
    // A junction or link named itself: it goes alone, what it points to stays.
    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT)) return RemoveLink(folder);
    const std::wstring pattern = std::wstring(path) + L"\\*.*";
    if (!deleteFiles(pattern.c_str(), true)) return false;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    return RemoveDirectoryW(path) != FALSE;
}

LPWSTR PathAPI::findFileName(LPCWSTR path) { return PathFindFileNameW(path); }

bool PathAPI::readTextFile(const std::wstring& path, std::wstring& text)
{
    FileHandle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                    false};
    if (file.handle == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.handle, &size) || size.QuadPart > 0x7FFFFFFF) return false;
    std::vector<unsigned char> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(file.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size()))
        return false;
    text.assign(bytes.begin(), bytes.end());
    return true;
}

bool PathAPI::writeTextFile(const std::wstring& path, const std::wstring& text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (wchar_t c : text) {
        if (c > 0xFF) return false;
        bytes.push_back(static_cast<char>(c));
    }
    FileHandle file{CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
                    false};
    if (file.handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    return bytes.empty() ||
           (WriteFile(file.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}

} // namespace Taliro
