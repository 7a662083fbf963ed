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

// Creates the directory with every missing parent; a relative path is taken from the current
// directory, one beginning with a backslash from the current drive. The error (may be null)
// receives 0 when created, 183 when it already existed (still true), 87 for an empty path,
// 3 when the current directory is unknown, 206 when the full path would be too long, and 82
// when creation failed.
bool CreateDirectoryPath(const wchar_t* path, DWORD* error);

} // namespace Lumetra
