// Keeps a file as it is while it is checked and then loaded.
#pragma once
#include <windows.h>

#include <string>

namespace Lumetra {

// Holds a file open for reading and shares it for reading only: while held, nobody can write,
// rename, replace or delete it, so the file a trust check reads is the file a later load maps.
// A file that someone already has open for writing cannot be held.
class CFileHold {
public:
    CFileHold() = default;
    ~CFileHold() { Release(); }
    CFileHold(const CFileHold&) = delete;
    CFileHold& operator=(const CFileHold&) = delete;

    // 0 when held; otherwise the open's error (32 when another handle may write, delete or
    // rename the file, 2 or 3 when it is missing). Any earlier hold is released first.
    DWORD Hold(const wchar_t* path);
    bool IsHeld() const { return m_file != INVALID_HANDLE_VALUE; }
    void Release();

    // The name to check and load the held file by: its own final path, with every link, junction
    // and mount point of the name it was opened by resolved, so that switching one of them
    // cannot bring another file under that name. Plain DOS form where it fits in MAX_PATH (the
    // form the loader and module lists have always shown), extended-length "\\?\" beyond.
    // 0; 6 when nothing is held; the system's error when the path cannot be had (the name it
    // was opened by is never used instead); 87 when the file name has no extension, to which the
    // loader would add ".dll", or ends in "." or " ", which it could trim: either maps another file.
    DWORD LoadPath(std::wstring& path) const;

    // Hold, then LoadPath: how a file to check and load is taken. 0 with the held file's path;
    // otherwise the first error, and nothing is held.
    DWORD Hold(const wchar_t* path, std::wstring& loadPath);

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
};

} // namespace Lumetra
