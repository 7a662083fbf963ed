// One named set of logging properties: trace provider and session identifiers, log folders,
// owner-mutex name, log-controller path and the registry keys of the logging settings.
#pragma once
#include <windows.h>

#include <string>

namespace Lumetra { class CRegKey; }

namespace ETWLogging {
namespace internal {

class ETWAppProperties {
public:
    ETWAppProperties();
    ETWAppProperties(const ETWAppProperties& other) = default;
    ETWAppProperties& operator=(const ETWAppProperties& other) = default;

    virtual ~ETWAppProperties();
    // Loads the set once: from its registry key when that exists, else the built-in defaults
    // (only the default set has them). A null or empty name selects the default set.
    virtual bool Initialize(const wchar_t* name);
    virtual DWORD GetCommonAppDataFolder(std::wstring& folder);
    // Takes over the open key of the set.
    virtual bool ReadRegistryOverrides(const std::wstring& baseFolder, Lumetra::CRegKey& key);
    virtual bool LoadDefaults(const std::wstring& baseFolder);
    virtual void GetEtlFileName(std::wstring& name);
    virtual void GetLoggingRootKey(std::wstring& path);
    virtual void GetAppKeyPath(std::wstring& path, const wchar_t* subKey);

    const std::wstring& GetControllerPath() const { return m_controllerPath; }
    const GUID& GetProviderGuid() const { return m_providerGuid; }
    HKEY GetRegistryRoot() const { return m_registryRoot; }
    const std::wstring& GetProviderKey() const { return m_providerKey; }

    const std::wstring& GetName() const { return m_name; }
    const std::wstring& GetBaseFolder() const { return m_baseFolder; }
    const GUID& GetSessionIdGuid() const { return m_sessionIdGuid; }
    const std::wstring& GetSessionName() const { return m_sessionName; }
    const std::wstring& GetOwnerMutexName() const { return m_ownerMutexName; }
    const std::wstring& GetLogFolder() const { return m_logFolder; }
    const std::wstring& GetEtwFolder() const { return m_etwFolder; }
    const std::wstring& GetEtlPath() const { return m_etlPath; }
    const std::wstring& GetLoggingKey() const { return m_loggingKey; }
    const std::wstring& GetControllerKey() const { return m_controllerKey; }
    const std::wstring& GetSettingsKey() const { return m_settingsKey; }

    // Name of the built-in set, compared without regard to case.
    static const wchar_t* const kDefaultSetName;

private:
    void SetFolders(const std::wstring& baseFolder, const std::wstring& logSubFolder,
                    const std::wstring& etwSubFolder);

    std::wstring m_name;
    std::wstring m_baseFolder;
    GUID m_sessionIdGuid;
    std::wstring m_sessionName;
    GUID m_providerGuid;
    std::wstring m_ownerMutexName;
    std::wstring m_logFolder;
    std::wstring m_etwFolder;
    std::wstring m_etlPath;
    std::wstring m_controllerPath;
    HKEY m_registryRoot;
    std::wstring m_loggingKey;
    std::wstring m_controllerKey;
    std::wstring m_providerKey;
    std::wstring m_settingsKey;
};

} // namespace internal
} // namespace ETWLogging
