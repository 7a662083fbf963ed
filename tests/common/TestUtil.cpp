#include "TestUtil.h"

#include <shlwapi.h>

#include <atomic>
#include <cstdio>

namespace TestUtil {

std::wstring UniqueName(const std::wstring& prefix)
{
    static std::atomic<unsigned> counter{0};
    wchar_t buf[96];
    _snwprintf(buf, 96, L"%lu_%lu_%u", GetCurrentProcessId(), GetTickCount(), counter.fetch_add(1));
    buf[95] = 0;
    return prefix + buf;
}

ScratchRegKey::ScratchRegKey(HKEY root) : root_(root), path_(L"Software\\TelvanaTests\\" + UniqueName(L"k"))
{
    RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
}

ScratchRegKey::~ScratchRegKey()
{
    if (key_) RegCloseKey(key_);
    SHDeleteKeyW(root_, path_.c_str());
}

bool ScratchRegKey::ReadRaw(const std::wstring& name, DWORD& type, std::vector<BYTE>& data) const
{
    DWORD size = 0;
    if (RegQueryValueExW(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    return RegQueryValueExW(key_, name.c_str(), nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
}

bool ScratchRegKey::WriteRaw(const std::wstring& name, DWORD type, const void* data, DWORD size) const
{
    return RegSetValueExW(key_, name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

ScratchDir::ScratchDir()
{
    wchar_t tmp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, tmp);
    path_ = std::wstring(tmp) + UniqueName(L"telvana_");
    CreateDirectoryW(path_.c_str(), nullptr);
}

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(full);
            else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::string ReadFileBytes(const std::wstring& path)
{
    std::string out;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD RunCommand(const std::wstring& commandLine, DWORD waitMs, const wchar_t* folder)
{
    std::wstring command = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &info))
        return GetLastError();
    CloseHandle(info.hThread);
    DWORD code = WAIT_TIMEOUT;
    if (WaitForSingleObject(info.hProcess, waitMs) == WAIT_OBJECT_0) GetExitCodeProcess(info.hProcess, &code);
    else TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    return code;
}

std::string Narrow(const std::wstring& text, UINT codePage)
{
    if (text.empty()) return {};
    int n = WideCharToMultiByte(codePage, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(codePage, 0, text.data(), (int)text.size(), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text, UINT codePage)
{
    if (text.empty()) return {};
    int n = MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), out.data(), n);
    return out;
}

} // namespace TestUtil
