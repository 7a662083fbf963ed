// Reading string values from a file's version resource. One object per caller and thread.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "Lumetra/ShlObjAPI.h"

namespace Lumetra {

class FileVersionInfo {
public:
    virtual ~FileVersionInfo() = default;

    // Reads the version resource once; a second call gives false and keeps the first data.
    virtual bool Load(const std::wstring& path);
    // The value (e.g. L"ProductVersion") of the first translation that has it; empty if none.
    virtual std::wstring QueryString(const std::wstring& name);
    // Drops what was loaded, so that the next Load reads its file anew.
    void Reset();

private:
    std::vector<BYTE> m_data;
    bool m_loaded = false;
};

// Version information of files in the system folder.
class SystemFileVersionInfo : public FileVersionInfo {
public:
    explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell = nullptr);

    // Loads the named file from the system folder.
    bool Load(const std::wstring& fileName) override;
    // The system folder with a trailing backslash; "\" (retried next time) when it is unknown.
    std::wstring GetSystemFolder();

private:
    std::shared_ptr<ShlObjAPI> m_shell;
    std::wstring m_systemFolder;
};

} // namespace Lumetra
