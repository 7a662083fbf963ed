// File-system calls behind a replaceable object.
#pragma once
#include <windows.h>

#include <string>

namespace Taliro {

class PathAPI {
public:
    virtual ~PathAPI() = default;
    // An existing entry that is not a directory.
    virtual bool fileExists(const std::wstring& path);
    virtual bool directoryExists(const std::wstring& path);
    virtual bool isRegularFile(const std::wstring& path);
    // Deletes what the pattern (a folder and a file pattern) names; subdirectories too when asked.
    virtual bool deleteFiles(const wchar_t* pattern, bool withSubdirectories);
    virtual bool createDirectory(const std::wstring& path);
    // Deletes the directory with everything below it.
    virtual bool deleteDirectory(const wchar_t* path);
    virtual HANDLE createFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
    {
        return CreateFileW(name, access, share, security, disposition, flags, templateFile);
    }
    virtual BOOL moveFile(LPCWSTR from, LPCWSTR to) { return MoveFileW(from, to); }
    virtual BOOL deleteFile(LPCWSTR name) { return DeleteFileW(name); }
    virtual BOOL readDirectoryChanges(HANDLE directory, LPVOID buffer, DWORD length, BOOL watchSubtree, DWORD filter,
                                      LPDWORD returned, LPOVERLAPPED overlapped,
                                      LPOVERLAPPED_COMPLETION_ROUTINE completion)
    {
        return ReadDirectoryChangesW(directory, buffer, length, watchSubtree, filter, returned, overlapped,
                                     completion);
    }
    virtual LPWSTR findFileName(LPCWSTR path);
    virtual DWORD getLongPathName(LPCWSTR shortPath, LPWSTR longPath, DWORD size)
    {
        return GetLongPathNameW(shortPath, longPath, size);
    }
    virtual DWORD sleep(DWORD milliseconds, BOOL alertable) { return SleepEx(milliseconds, alertable); }
    virtual BOOL cancelIo(HANDLE file, LPOVERLAPPED overlapped) { return CancelIoEx(file, overlapped); }
    virtual BOOL closeHandle(HANDLE handle) { return CloseHandle(handle); }
    virtual HANDLE findFirstFile(LPCWSTR pattern, LPWIN32_FIND_DATAW data) { return FindFirstFileW(pattern, data); }
    virtual BOOL findNextFile(HANDLE find, LPWIN32_FIND_DATAW data) { return FindNextFileW(find, data); }
    virtual BOOL findClose(HANDLE find) { return FindClose(find); }
    virtual DWORD getLastError() { return GetLastError(); }
    // The file's bytes, each widened to one character, as a stream in the classic locale reads
    // them; false when the file cannot be opened or read.
    virtual bool readTextFile(const std::wstring& path, std::wstring& text);
    // Each character narrowed to one byte; false when the file cannot be opened, a character
    // does not fit or the write fails.
    virtual bool writeTextFile(const std::wstring& path, const std::wstring& text);
};

} // namespace Taliro
