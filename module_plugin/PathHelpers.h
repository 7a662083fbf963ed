// Placeholder expansion and file search along a list of folders.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "Lumetra/OSInfo.h"
#include "wrappers/DllAPI.h"
#include "wrappers/PathAPI.h"
#include "wrappers/RegistryAPI.h"

namespace Taliro {

class PathHelpers {
public:
    using OSInfo = Lumetra::internal::OSInfoProxy<Lumetra::WinOSVersionAPI>;

    // Empty pointers are replaced by default objects.
    explicit PathHelpers(std::shared_ptr<ShlObjAPI> shell = nullptr, std::shared_ptr<OSInfo> osInfo = nullptr,
                         std::shared_ptr<RegistryAPI> registry = nullptr);
    virtual ~PathHelpers() = default;

    // Replaces the $(...) placeholders in place. False, and the text untouched, when one of
    // them is unknown or has no value: such a path must not be probed.
    virtual bool resolve(std::wstring& text);

    class _Impl;

private:
    std::shared_ptr<_Impl> m_impl;
};

class PathSearch {
public:
    explicit PathSearch(std::shared_ptr<PathAPI> pathApi = nullptr, std::shared_ptr<DllAPI> dllApi = nullptr);
    virtual ~PathSearch() = default;

    virtual std::vector<std::wstring> directories() const;
    virtual void append(const std::vector<std::wstring>& directories);
    virtual void append(const wchar_t* directory);
    virtual void append(const std::wstring& directory);
    // The first directory of the list that holds the file.
    virtual bool findFilePath(const std::wstring& fileName, std::wstring& directory);
    virtual bool checkIfExists(const std::wstring& path);

private:
    std::shared_ptr<PathAPI> m_pathApi;
    std::shared_ptr<DllAPI> m_dllApi;
    std::vector<std::wstring> m_directories;
};

} // namespace Taliro
