#include "dll/SharedLibrary.h"

#include "ModuleStatus.h"

#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/PathUtils.h"

#include <cwctype>

namespace Taliro {

namespace {

constexpr const wchar_t* kSource = L"dll\\SharedLibrary";
constexpr const wchar_t* kBlockListKey = L"SOFTWARE\\Orvane\\Tesk\\List\\";

const std::vector<std::wstring>& ExemptNames()
{
    static const std::vector<std::wstring> names{L"pollex.dll", L"sendal.dll", L"mirrow.dll", L"quorra.dll"};
    return names;
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

template <typename Fn>
bool Import(DllLoader& loader, HMODULE module, const char* name, Fn& out)
{
    FARPROC address = loader.getProcAddress(module, name);
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
    return address != nullptr;
}

} // namespace

SharedLibrary::SharedLibrary(LibraryDescription description, std::shared_ptr<DllLoader> loader,
                             std::shared_ptr<PathHelpers> pathHelpers, std::shared_ptr<PathSearch> pathSearch,
                             std::shared_ptr<Lumetra::CRegKey> blockListKey,
                             std::shared_ptr<Lumetra::FileVersionInfo> versionInfo)
    : m_description(std::move(description)),
      m_loader(loader ? std::move(loader) : std::make_shared<DllLoader>()),
      m_pathHelpers(pathHelpers ? std::move(pathHelpers) : std::make_shared<PathHelpers>()),
      m_pathSearch(pathSearch ? std::move(pathSearch) : std::make_shared<PathSearch>()),
      m_blockListKey(std::move(blockListKey)),
      m_versionInfo(std::move(versionInfo))
{
    if (loadLibrary() != MODULE_STATUS_SUCCESS) {
        TALIRO_LOG(4, kSource, L"Taliro::SharedLibrary::SharedLibrary",
                   L"Failed to load library: %ls. Throwing ModuleException.", m_description.fileName.c_str());
        unloadLibrary();
        throw ModuleException("Failed to load library");
    }
    if (importFunctions() != MODULE_STATUS_SUCCESS) {
        TALIRO_LOG(4, kSource, L"Taliro::SharedLibrary::SharedLibrary",
                   L"Failed to import functions from library: %ls. Throwing ModuleException.",
                   m_description.fileName.c_str());
        unloadLibrary();
        throw ModuleException("Failed to import functions from library");
    }
}

SharedLibrary::~SharedLibrary() { unloadLibrary(); }

unsigned long SharedLibrary::loadLibrary()
{
    const std::wstring& fileName = m_description.fileName;
    std::vector<std::wstring> resolved;
    for (std::wstring directory : m_description.directories) {
        // An unresolved placeholder or a relative folder would make the load follow the DLL search
        // order or the current directory: such a folder is left out, never probed.
        if (!m_pathHelpers->resolve(directory) || !Lumetra::IsAbsolutePath(directory)) {
            TALIRO_LOG(4, kSource, L"Taliro::SharedLibrary::loadLibrary",
                       L"Failed to resolve file path, %ls, for library: %ls.", directory.c_str(), fileName.c_str());
            continue;
        }
        resolved.push_back(directory);
    }
    std::wstring directory;
    if (!resolved.empty()) m_pathSearch->append(resolved);
    if (resolved.empty() || !m_pathSearch->findFilePath(fileName, directory)) {
        TALIRO_LOG(4, kSource, L"Taliro::SharedLibrary::loadLibrary", L"Failed to find valid path for library: %ls.",
                   fileName.c_str());
        return MODULE_STATUS_NOT_FOUND;
    }
    TALIRO_LOG(1, kSource, L"Taliro::SharedLibrary::loadLibrary", L"Loading %ls from %ls.", fileName.c_str(),
               directory.c_str());
    const std::wstring fullPath = directory + L"\\" + fileName;
    if (isBlocked(directory, fileName)) {
        TALIRO_LOG(3, kSource, L"Taliro::SharedLibrary::loadLibrary", L"Blocked library: %ls.", fullPath.c_str());
        return MODULE_STATUS_NOT_SUPPORTED;
    }
    if (!m_loader->loadDLL(fullPath, &m_module)) {
        TALIRO_LOG(4, kSource, L"Taliro::SharedLibrary::loadLibrary", L"Failed to load library: %ls.",
                   fileName.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    m_loadedPath = fullPath;
    return MODULE_STATUS_SUCCESS;
}

unsigned long SharedLibrary::importFunctions()
{
    struct Step {
        const char* name;
        bool found;
    };
    Step steps[] = {
        {"CreateObject", Import(*m_loader, m_module, "CreateObject", m_functions.createObject)},
        {"ReleaseObject", false},
        {"GetVersionStr", false},
        {"GetVersionNum", false},
    };
    // In order, stopping at the first that is missing.
    if (steps[0].found) steps[1].found = Import(*m_loader, m_module, "ReleaseObject", m_functions.releaseObject);
    if (steps[1].found) steps[2].found = Import(*m_loader, m_module, "GetVersionStr", m_functions.getVersionStr);
    if (steps[2].found) steps[3].found = Import(*m_loader, m_module, "GetVersionNum", m_functions.getVersionNum);
    for (const Step& step : steps) {
        if (!step.found) {
            TALIRO_LOG(4, kSource, L"Taliro::SharedLibrary::importFunctions",
                       L"Failed to load %hs function from library: %ls.", step.name, m_description.fileName.c_str());
            return MODULE_STATUS_NOT_FOUND;
        }
    }
    return MODULE_STATUS_SUCCESS;
}

void SharedLibrary::unloadLibrary()
{
    try {
        if (!m_module) return;
        if (m_loader->freeLibrary(m_module)) {
            m_module = nullptr;
            m_functions = ImportedFunctions();
        } else {
            TALIRO_LOG(4, kSource, L"Taliro::SharedLibrary::unloadLibrary", L"Failed to free library: %ls.",
                       m_description.fileName.c_str());
        }
    } catch (...) {
    }
}

bool SharedLibrary::isBlocked(const std::wstring& directory, const std::wstring& fileName)
{
    if (directory.empty() || fileName.empty()) return false;
    const std::wstring lowerDirectory = Lower(directory);
    const std::wstring lowerFile = Lower(fileName);
    for (const std::wstring& exempt : ExemptNames())
        if (lowerFile == exempt) return false;
    return isVersionBlocked(lowerDirectory, lowerFile);
}

bool SharedLibrary::isVersionBlocked(const std::wstring& directory, const std::wstring& fileName)
{
    std::shared_ptr<Lumetra::FileVersionInfo> versionInfo =
        m_versionInfo ? m_versionInfo : std::make_shared<Lumetra::FileVersionInfo>();
    // A reader loads one file once: without this the next check would find it loaded and block nothing.
    versionInfo->Reset();
    if (!versionInfo->Load(directory + L"\\" + fileName)) return false;
    const std::wstring version = versionInfo->QueryString(L"FileVersion");
    if (version.empty()) return false;

    std::shared_ptr<Lumetra::CRegKey> key = m_blockListKey ? m_blockListKey : std::make_shared<Lumetra::CObfuscatedRegKey>();
    if (key->Open(HKEY_LOCAL_MACHINE, (kBlockListKey + fileName).c_str(), KEY_READ) != ERROR_SUCCESS) return false;
    std::wstring blocked;
    const bool read = key->QueryStringValue(version.c_str(), blocked) == ERROR_SUCCESS;
    key->Close();
    return read && blocked == version;
}

} // namespace Taliro
