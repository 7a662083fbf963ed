#include "PathHelpers.h"

#include "ModuleStatus.h"

#include "Lumetra/Placeholders.h"

#include <functional>
#include <unordered_map>

namespace Taliro {

class PathHelpers::_Impl {
public:
    _Impl(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<OSInfo> osInfo, std::shared_ptr<RegistryAPI> registry)
        : shell(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()),
          osInfo(osInfo ? std::move(osInfo) : std::make_shared<OSInfo>()),
          registry(registry ? std::move(registry) : std::make_shared<RegistryAPI>())
    {
    }

    std::shared_ptr<ShlObjAPI> shell;
    std::shared_ptr<OSInfo> osInfo;
    std::shared_ptr<RegistryAPI> registry;
};

namespace {

constexpr const wchar_t* kFrameworkKey = L"SOFTWARE\\ORVANE\\TESK";

using Provider = std::function<std::wstring(PathHelpers::_Impl&)>;

std::wstring InstallDir(PathHelpers::_Impl& impl)
{
    std::wstring value;
    const wchar_t* name = impl.osInfo->IsWow64() ? L"Install Dir32" : L"Install Dir";
    if (impl.registry->readString(kFrameworkKey, name, value) != MODULE_STATUS_SUCCESS) value.clear();
    return value;
}

const std::unordered_map<std::wstring, Provider>& Table()
{
    static const std::unordered_map<std::wstring, Provider> table = [] {
        std::unordered_map<std::wstring, Provider> providers;
        for (const Lumetra::placeholders::Entry& entry : Lumetra::placeholders::StandardEntries()) {
            Lumetra::placeholders::Provider value = entry.value;
            providers[entry.token] = [value](PathHelpers::_Impl& impl) {
                return value(Lumetra::placeholders::Sources{impl.shell.get(), impl.osInfo.get()});
            };
        }
        providers[L"$(Tessel.InstallDir)"] = InstallDir;
        return providers;
    }();
    return table;
}

const auto& g_table = Table();

} // namespace

PathHelpers::PathHelpers(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<OSInfo> osInfo,
                         std::shared_ptr<RegistryAPI> registry)
    : m_impl(std::make_shared<_Impl>(std::move(shell), std::move(osInfo), std::move(registry)))
{
}

bool PathHelpers::resolve(std::wstring& text)
{
    const auto& table = Table();
    unsigned long long found = 0, resolved = 0;
    std::wstring result = Lumetra::placeholders::Expand(
        text,
        [&](const std::wstring& key) {
            auto entry = table.find(key);
            return entry == table.end() ? std::wstring() : entry->second(*m_impl);
        },
        found, resolved);
    if (resolved != found) return false;
    text.swap(result);
    return true;
}

PathSearch::PathSearch(std::shared_ptr<PathAPI> pathApi, std::shared_ptr<DllAPI> dllApi)
    : m_pathApi(pathApi ? std::move(pathApi) : std::make_shared<PathAPI>()),
      m_dllApi(dllApi ? std::move(dllApi) : std::make_shared<DllAPI>())
{
}

std::vector<std::wstring> PathSearch::directories() const { return m_directories; }

void PathSearch::append(const std::vector<std::wstring>& directories)
{
    m_directories.insert(m_directories.end(), directories.begin(), directories.end());
}

void PathSearch::append(const wchar_t* directory)
{
    if (directory) m_directories.emplace_back(directory);
}

void PathSearch::append(const std::wstring& directory) { m_directories.push_back(directory); }

bool PathSearch::findFilePath(const std::wstring& fileName, std::wstring& directory)
{
    TALIRO_LOG(1, L"PathSearch", L"Taliro::PathSearch::findFilePath", L"Entering findFilePath for file %ls",
               fileName.c_str());
    for (const std::wstring& candidate : m_directories) {
        if (checkIfExists(candidate + L"\\" + fileName)) {
            directory = candidate;
            TALIRO_LOG(1, L"PathSearch", L"Taliro::PathSearch::findFilePath",
                       L"File found at path %ls. Returning success.", candidate.c_str());
            return true;
        }
    }
    TALIRO_LOG(2, L"PathSearch", L"Taliro::PathSearch::findFilePath", L"File not found.");
    return false;
}

bool PathSearch::checkIfExists(const std::wstring& path)
{
    TALIRO_LOG(1, L"PathSearch", L"Taliro::PathSearch::checkIfExists", L"Entering checkIfExists for %ls", path.c_str());
    if (m_pathApi->fileExists(path)) {
        TALIRO_LOG(1, L"PathSearch", L"Taliro::PathSearch::checkIfExists", L"File exists");
        return true;
    }
    TALIRO_LOG(2, L"PathSearch", L"Taliro::PathSearch::checkIfExists", L"File does not exist.");
    return false;
}

} // namespace Taliro
