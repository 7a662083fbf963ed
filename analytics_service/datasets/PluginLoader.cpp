#include "datasets/PluginLoader.h"
#include "datasets/Registry.h"

#include "ETWLogging/LogFront.h"
#include "Lumetra/CodeTrust.h"
#include "Lumetra/FileHold.h"
#include "Lumetra/PathUtils.h"
#include "Lumetra/SecureDll.h"

#include <exception>
#include <utility>

namespace {

template <typename Fn> Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void LogException(const wchar_t* function, int line, const std::wstring& name, const char* message)
{
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"PluginLoader", function, line,
                        L"Exception thrown while trying to attach dataset '%s'. Error message: %hs", name.c_str(),
                        message);
}

// Runs calls into a dataset DLL: false, logged, when they throw.
template <typename Calls> bool CallDataSet(const std::wstring& name, Calls calls)
{
    const wchar_t* function = L"Taliro::PluginLoader::LoadPluginDLL";
    try {
        return calls();
    } catch (const std::exception& e) {
        LogException(function, __LINE__, name, e.what());
    } catch (...) {
        LogException(function, __LINE__, name, "unknown");
    }
    return false;
}

} // namespace

std::wstring GetRegisteredDataSetPath(const std::wstring& name)
{
    std::wstring path;
    const DWORD code = GetObfuscatedStringValueFromRegistry(name, path);
    if (code != ERROR_SUCCESS) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, L"PluginLoader", L"GetRegisteredDataSetPath", __LINE__,
                            L"Failed to get dataset '%s' from registry. Error code: %lu", name.c_str(), code);
        return std::wstring();
    }
    return path;
}

namespace Taliro {

PluginLoader::PluginLoader(TrustCheck trustCheck) : m_trustCheck(std::move(trustCheck)) {}

PluginLoader::~PluginLoader()
{
    for (ModuleHandle& module : m_modules)
        module.reset();
}

bool PluginLoader::AttachDataSet(const std::wstring& name, KeyValueMap& data)
{
    try {
        const std::wstring path = GetRegisteredDataSetPath(name);
        if (!path.empty()) {
            std::unique_ptr<DataSetRecord> record = LoadPluginDLL(path, name);
            if (record) {
                data.insert(record->values.begin(), record->values.end());
                if (ETWLogging::IsLogLevelEnabled(3))
                    ETWLogging::Log(3, L"PluginLoader", L"Taliro::PluginLoader::AttachDataSet", __LINE__,
                                    L"Attached dataset '%s' to eventData", name.c_str());
                return true;
            }
        }
    } catch (const std::exception& e) {
        LogException(L"Taliro::PluginLoader::AttachDataSet", __LINE__, name, e.what());
    } catch (...) {
        LogException(L"Taliro::PluginLoader::AttachDataSet", __LINE__, name, "unknown");
    }
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"PluginLoader", L"Taliro::PluginLoader::AttachDataSet", __LINE__,
                        L"Dataset '%s' is not available", name.c_str());
    return false;
}

std::unique_ptr<DataSetRecord> PluginLoader::LoadPluginDLL(const std::wstring& path, const std::wstring& name)
{
    ModuleHandle module;
    // Only a full path is loaded: any other would be opened against the current directory.
    if (Lumetra::IsAbsolutePath(path)) {
        // Held from the check until the load has mapped the file, and both go by the held file's
        // own path, so the file checked is the file loaded even with a link on the registered
        // path. A file that cannot be held is refused like any other unchecked file.
        Lumetra::CFileHold hold;
        std::wstring own;
        const DWORD held = hold.Hold(path.c_str(), own);
        if (held != ERROR_SUCCESS) {
            if (ETWLogging::IsLogLevelEnabled(4)) {
                ETWLogging::Log(4, L"PluginLoader", L"Taliro::PluginLoader::LoadPluginDLL", __LINE__,
                                L"The DLL at the path '%s' is not Orvane signed", path.c_str());
                ETWLogging::Log(4, L"PluginLoader", L"Taliro::PluginLoader::LoadPluginDLL", __LINE__,
                                L"The DLL at the path '%s' cannot be opened. Error code: %lu", path.c_str(), held);
            }
            return nullptr;
        }
        const DWORD trust = m_trustCheck ? m_trustCheck(own.c_str()) : Lumetra::CheckFileTrust(own.c_str());
        if (trust != ERROR_SUCCESS) {
            if (ETWLogging::IsLogLevelEnabled(4))
                ETWLogging::Log(4, L"PluginLoader", L"Taliro::PluginLoader::LoadPluginDLL", __LINE__,
                                L"The DLL at the path '%s' is not Orvane signed", path.c_str());
            return nullptr;
        }
        module.reset(Lumetra::LoadLibraryFullPath(own.c_str()));
    }
    if (module) {
        const auto isSupported = Export<IsSupportedFn>(module.get(), kIsSupportedExport);
        const auto getDataSet = Export<GetDataSetFn>(module.get(), kGetDataSetExport);
        const auto release = Export<ReleaseFn>(module.get(), kReleaseExport);
        if (isSupported && getDataSet && release) {
            // Whatever the DLL throws is caught, and its exception gone, before the DLL is
            // unloaded: the exception's code and data live in the DLL.
            IDataSetObject* object = nullptr;
            auto record = std::make_unique<DataSetRecord>();
            const bool built = CallDataSet(name, [&] {
                if (isSupported(name.c_str()) == 0) return false;
                object = getDataSet(name.c_str());
                if (object == nullptr) {
                    if (ETWLogging::IsLogLevelEnabled(4))
                        ETWLogging::Log(4, L"PluginLoader", L"Taliro::PluginLoader::LoadPluginDLL", __LINE__,
                                        L"DataSet %s: the DLL handed out no dataset", name.c_str());
                    return false;
                }
                return BuildDataSetRecord(*object, name, *record);
            });
            // Given back on every road, a throw included, while the DLL is still loaded.
            const bool released = object == nullptr || CallDataSet(name, [&] {
                release(object);
                return true;
            });
            if (built && released) {
                m_modules.push_back(std::move(module));
                return record;
            }
        }
    }
    module.reset();
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"PluginLoader", L"Taliro::PluginLoader::LoadPluginDLL", __LINE__,
                        L"DataSet %s could not be loaded", name.c_str());
    return nullptr;
}

bool PluginLoader::BuildDataSetRecord(IDataSetObject& object, const std::wstring& name, DataSetRecord& record)
{
    const wchar_t* objectName = object.GetName();
    const std::int32_t count = object.GetCount();
    if (objectName == nullptr) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, L"PluginLoader", L"Taliro::PluginLoader::BuildDataSetRecord", __LINE__,
                            L"DataSet %s is malformed (name missing, count %d)", name.c_str(), count);
        return false;
    }
    // A count below 1 is an empty dataset, attached like any other; one of more items than a
    // cache value could hold is no dataset, and its items are not walked.
    if (count > kMaxDataSetItems) return false;
    record.name = objectName;
    const std::uint32_t items = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    for (std::uint32_t index = 0; index < items; ++index) {
        const wchar_t* key = nullptr;
        const wchar_t* value = nullptr;
        if (object.GetItem(index, &key, &value) == 0)
            continue;
        if (key == nullptr || value == nullptr) {
            if (ETWLogging::IsLogLevelEnabled(2))
                ETWLogging::Log(2, L"PluginLoader", L"Taliro::PluginLoader::BuildDataSetRecord", __LINE__,
                                L"DataSet %s: item %u has no %s; skipped", name.c_str(), index,
                                key == nullptr ? L"key" : L"value");
            continue;
        }
        record.values.emplace(key, value);
    }
    return true;
}

} // namespace Taliro
