// Keeps a file as it is while it is checked and then loaded.
#pragma once
#include <windows.h>

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

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
};

} // namespace Lumetra
