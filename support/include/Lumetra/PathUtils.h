// Module paths and directory helpers. Paths are limited to MAX_PATH characters.
#pragma once
#include <windows.h>

#include <string>

namespace Lumetra {

// The folder of the process executable, with or without its trailing backslash.
bool GetModuleFolder(std::wstring& folder, bool keepBackslash);

// Splits the full name of a loaded module (null: the executable) into folder and file name.
bool SplitModuleFileName(HMODULE module, std::wstring& folder, bool keepBackslash, std::wstring& fileName);

bool DirectoryExists(const wchar_t* path);

// True for a path that names the same file whatever the current drive and folder: a drive path
// ("C:\x", "C:/x"), a UNC path ("\\server\share", "//server/share") or a "\\?\" or "\\.\" path.
// Not for drive-relative ("C:x"), root-relative ("\x") or plain relative names.
bool IsAbsolutePath(const std::wstring& path);

// A full path as file calls take it at any length: from MAX_PATH on in the extended-length form
// ("\\?\", "\\?\UNC\" for a UNC path, "\\?\" for a "\\.\" device path, which is limited
// to MAX_PATH as much as a drive path); a shorter one, or one already "\\?\", as it is.
// `full` must be normalised, as GetFullPathNameW or a module or final path gives it: backslashes
// only and no "." or ".." component. The extended form is taken literally, so any other names
// another place than the plain one, or none.
std::wstring ExtendedLengthPath(const std::wstring& full);

// The plain form of an extended-length drive or UNC path ("\\?\UNC\s\x" or "\\?\unc\s\x" ->
// "\\s\x", "\\?\C:\x" -> "C:\x"); any other, "\\?\Volume{...}\x" among them, as it is.
std::wstring PlainPath(const std::wstring& path);

// Creates the directory with every missing parent, where the system takes the path to be: "/"
// separates, a relative path is below the current directory, "C:x" below drive C's current
// directory, "\x" below the current directory's root; a UNC or "\\?\" path is made where it
// names or not at all; a "\\?\" path with a "." or ".." component is refused (82) before anything
// is made. Only the folder named counts as made. The error (may be null)
// receives 0 when created, 183 when it already existed (still true), 87 for an empty path,
// 3 when the current directory is unknown, 206 when the full path would be too long, and 82
// when creation failed.
bool CreateDirectoryPath(const wchar_t* path, DWORD* error);

} // namespace Lumetra
