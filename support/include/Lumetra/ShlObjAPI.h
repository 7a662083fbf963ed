// Shell known folders behind a replaceable object, so callers can be given another answer.
#pragma once
#include <windows.h>
#include <shlobj.h>

namespace Lumetra {

struct ShlObjAPI {
    virtual ~ShlObjAPI() = default;

    // As SHGetKnownFolderPath; the caller frees the path with CoTaskMemFree.
    virtual HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path)
    {
        return SHGetKnownFolderPath(folderId, flags, token, path);
    }
};

} // namespace Lumetra
