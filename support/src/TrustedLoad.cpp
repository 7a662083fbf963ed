#include "Lumetra/TrustedLoad.h"

#include "Lumetra/CodeTrust.h"
#include "Lumetra/FileHold.h"
#include "Lumetra/PathUtils.h"

#include <string>

namespace Lumetra {

namespace internal {

// Separators are made backslashes (the loader documents no other), and beyond MAX_PATH the
// extended-length form, which the file calls need there. A "\\?\" path is taken literally, as the
// system does.
std::wstring TrustedLoadFullPath(const wchar_t* path)
{
    const std::wstring given = path;
    if (given.compare(0, 4, L"\\\\?\\") == 0) return given;
    const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path, size, &full[0], nullptr);
    if (length == 0 || length >= size) return std::wstring();
    full.resize(length);
    // "//?/" comes back as "\\?\" with its slashes turned, and is then taken as the system takes
    // "\\?\"; it is no server name.
    return ExtendedLengthPath(full);
}

} // namespace internal

HMODULE LoadTrustedLibrary(const wchar_t* path, DWORD flags, const TrustCheck& check)
{
    // A relative name would follow the DLL search order and could load another file than the
    // one checked.
    if (!path || !IsAbsolutePath(path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::wstring target = internal::TrustedLoadFullPath(path);
    // The loader adds ".dll" to a file name without an extension: it would map another file than
    // the one held and checked.
    const size_t name = target.find_last_of(L"\\/");
    if (target.empty() || target.find(L'.', name == std::wstring::npos ? 0 : name) == std::wstring::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Held from before the check until the loader has mapped the file, and both go by the held
    // file's own path: a link on the given name could be switched after the check, while Windows
    // refuses to rename the folders of an open file.
    CFileHold hold;
    std::wstring own;
    const DWORD held = hold.Hold(target.c_str(), own);
    if (held != ERROR_SUCCESS) {
        SetLastError(held);
        return nullptr;
    }
    const DWORD trust = check ? check(own.c_str()) : CheckFileTrust(own.c_str());
    if (trust != ERROR_SUCCESS) {
        SetLastError(trust);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    HMODULE module = LoadLibraryExW(own.c_str(), nullptr, flags);
    // A refusal must never read as success.
    if (!module && GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_PARAMETER);
    return module;
}

} // namespace Lumetra
