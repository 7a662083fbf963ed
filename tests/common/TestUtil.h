// Helpers shared by the unit tests: unique names, scratch registry keys and folders.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace TestUtil {

// A name unique to this process and call, safe for parallel test processes.
std::wstring UniqueName(const std::wstring& prefix);

// A fresh registry key under <root>\Software\TelvanaTests\<unique>; the whole tree is
// deleted again when the object goes.
class ScratchRegKey {
public:
    explicit ScratchRegKey(HKEY root = HKEY_CURRENT_USER);
    ~ScratchRegKey();
    ScratchRegKey(const ScratchRegKey&) = delete;
    ScratchRegKey& operator=(const ScratchRegKey&) = delete;

    HKEY Root() const { return root_; }
    HKEY Handle() const { return key_; }
    // Path below the root, e.g. L"Software\\TelvanaTests\\t123".
    const std::wstring& Path() const { return path_; }

    // Raw access, bypassing the code under test.
    bool ReadRaw(const std::wstring& name, DWORD& type, std::vector<BYTE>& data) const;
    bool WriteRaw(const std::wstring& name, DWORD type, const void* data, DWORD size) const;

private:
    HKEY root_;
    HKEY key_ = nullptr;
    std::wstring path_;
};

// A fresh folder under the temporary folder, removed with its contents when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Deletes a folder with everything below it.
void RemoveTree(const std::wstring& dir);

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// Runs a command line (in `folder` when given) and waits: its exit code, the CreateProcess error, or
// WAIT_TIMEOUT (then ended) when it did not end in time or, as a host program under Wine, gave no handle.
DWORD RunCommand(const std::wstring& commandLine, DWORD waitMs = 60000, const wchar_t* folder = nullptr);

std::string Narrow(const std::wstring& text, UINT codePage = CP_UTF8);
std::wstring Widen(const std::string& text, UINT codePage = CP_UTF8);

} // namespace TestUtil
