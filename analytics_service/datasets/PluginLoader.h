// Finds the DLL registered for a dataset name, checks its signature, loads it and copies the
// dataset it produces into a string map. One loader serves one load: its destruction unloads
// every DLL that delivered a dataset.
#pragma once
#include "config/StringMaps.h"
#include "datasets/DataSetExports.h"
#include "registry/CAUtils.h"

#include "Lumetra/TrustedLoad.h"

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace Taliro {

using TrustCheck = Lumetra::TrustCheck;

struct DataSetRecord {
    KeyValueMap values;
    std::wstring name;
};

struct ModuleFree {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModuleHandle = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree>;

class PluginLoader {
public:
    // The most items a dataset may have: as many as a cache value (kRegistryLargeStringLimit
    // bytes of UTF-16 JSON text) could hold, the shortest member ("k":"",) taking 7 characters.
    static constexpr std::int32_t kMaxDataSetItems = kRegistryLargeStringLimit / sizeof(wchar_t) / 7;

    // An empty check means Lumetra::CheckFileTrust.
    explicit PluginLoader(TrustCheck trustCheck = nullptr);
    // Unloads the DLLs in the order they were loaded.
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Adds the dataset's pairs to `data` (keys already there keep their values); true when attached.
    bool AttachDataSet(const std::wstring& name, KeyValueMap& data);
    // Empty when the file is not trusted, cannot be loaded, lacks an export, does not support the
    // name or hands out a malformed dataset.
    std::unique_ptr<DataSetRecord> LoadPluginDLL(const std::wstring& path, const std::wstring& name);

private:
    // False (nothing usable) for a dataset without a name; a count below 1 gives no pairs.
    static bool BuildDataSetRecord(IDataSetObject& object, const std::wstring& name, DataSetRecord& record);

    TrustCheck m_trustCheck;
    std::vector<ModuleHandle> m_modules;
};

} // namespace Taliro

// The registered DLL path of a dataset; empty (and logged) when there is none.
std::wstring GetRegisteredDataSetPath(const std::wstring& name);
