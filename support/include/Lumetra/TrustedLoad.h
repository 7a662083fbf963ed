// Loading a DLL only after its code-trust check has passed.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace Lumetra {

// 0 when the file at the path may be loaded.
using TrustCheck = std::function<DWORD(const wchar_t* path)>;

// Loads the file at an absolute path (drive, UNC, "\\?\" or longer than MAX_PATH) with the given
// flags only when its trust check passes (an empty check means CheckFileTrust); the file is held
// against writers, renamers and deleters from before the check until it is mapped, and is checked
// and loaded by its own final path (CFileHold::LoadPath), never by the name it was reached
// through. Null, with the thread's last error set, when the path is relative, empty or names a
// file without an extension, to which the loader would add ".dll" (87; nothing is checked or
// loaded), the file cannot be held (the open's error: 32 when someone may write it, 2 or 3 when
// missing), its final path cannot be had (the system's error; 87 when it has no extension), the
// check refuses (its code: 5 not trusted) or the load fails (the loader's error).
HMODULE LoadTrustedLibrary(const wchar_t* path, DWORD flags, const TrustCheck& check = nullptr);

namespace internal {

// The full spelling under which LoadTrustedLibrary opens the file: separators made backslashes,
// and beyond MAX_PATH the extended-length form. Empty when the path cannot be made full.
std::wstring TrustedLoadFullPath(const wchar_t* path);

} // namespace internal

} // namespace Lumetra
