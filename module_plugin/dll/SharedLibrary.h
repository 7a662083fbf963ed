// Finds, vets, loads and owns one framework library with the four module exports.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ModuleTypes.h"
#include "PathHelpers.h"
#include "dll/DllLoader.h"

#include "Lumetra/FileVersionInfo.h"
#include "Lumetra/RegKey.h"

namespace Taliro {

struct LibraryDescription {
    std::wstring fileName;
    std::vector<std::wstring> directories; // searched in order, with placeholders
};

struct ImportedFunctions {
    CreateObjectFn createObject = nullptr;
    ReleaseObjectFn releaseObject = nullptr;
    GetVersionStrFn getVersionStr = nullptr;
    GetVersionNumFn getVersionNum = nullptr;
};

class SharedLibrary {
public:
    // Loads and imports, or throws ModuleException. The registry key (opened by the block-list
    // check) and the file-version reader default to the support library's classes. A given reader
    // is reset before every check, which reads the file anew each time.
    explicit SharedLibrary(LibraryDescription description, std::shared_ptr<DllLoader> loader = nullptr,
                           std::shared_ptr<PathHelpers> pathHelpers = nullptr,
                           std::shared_ptr<PathSearch> pathSearch = nullptr,
                           std::shared_ptr<Lumetra::CRegKey> blockListKey = nullptr,
                           std::shared_ptr<Lumetra::FileVersionInfo> versionInfo = nullptr);
    virtual ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    virtual const ImportedFunctions& importedFunctions() const { return m_functions; }
    HMODULE module() const { return m_module; }
    // The full path that was loaded.
    const std::wstring& loadedPath() const { return m_loadedPath; }

    unsigned long loadLibrary();
    unsigned long importFunctions();
    void unloadLibrary();
    bool isBlocked(const std::wstring& directory, const std::wstring& fileName);
    bool isVersionBlocked(const std::wstring& directory, const std::wstring& fileName);

private:
    LibraryDescription m_description;
    std::shared_ptr<DllLoader> m_loader;
    std::shared_ptr<PathHelpers> m_pathHelpers;
    std::shared_ptr<PathSearch> m_pathSearch;
    std::shared_ptr<Lumetra::CRegKey> m_blockListKey;
    std::shared_ptr<Lumetra::FileVersionInfo> m_versionInfo;
    HMODULE m_module = nullptr;
    std::wstring m_loadedPath;
    ImportedFunctions m_functions;
};

} // namespace Taliro
