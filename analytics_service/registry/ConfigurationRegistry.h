// Typed access to the service's registry settings. No cache: every call reads or writes the
// registry at that moment; values are plain (not enciphered). Reads never fail: an unreadable
// flag gives its default, an unreadable string empty text.
#pragma once
#include "registry/CAConfig.h"

#include <windows.h>

#include <memory>
#include <string>

namespace Taliro {
namespace Analytics {

inline const std::wstring kTelvanaRegistryPath = L"SOFTWARE\\Orvane\\OvTelvana";
inline const std::wstring kQueryParamsRegistryPath = L"SOFTWARE\\Orvane\\Zenvo\\AppInfo\\Substitute\\QueryParams";

} // namespace Analytics
} // namespace Taliro

class ConfigurationRegistry {
public:
    ConfigurationRegistry() : m_config(this) {}
    virtual ~ConfigurationRegistry() = default;
    // The embedded CCAConfig points back at this object.
    ConfigurationRegistry(const ConfigurationRegistry&) = delete;
    ConfigurationRegistry& operator=(const ConfigurationRegistry&) = delete;

    // The process-wide instance, made on first use; a failed creation is tried again next time.
    static std::shared_ptr<ConfigurationRegistry> GetInstance();

    // "affid" up to its first '-'.
    virtual std::wstring GetAffId();
    virtual std::wstring GetCulture();
    virtual bool ReadGlobalEnable();
    virtual bool ReadEnableTelvana();
    virtual bool ReadEnableGoogleAnalytics();
    virtual bool ReadEnableMessageBusPublishing();
    // Read whole, however long the list grows.
    virtual std::wstring GetEnabledAffIdLocales();
    virtual DWORD DeleteEnabledAffIdLocales();
    // Read whole, however long the list grows.
    virtual std::wstring GetEnabledSinks();
    virtual std::wstring GetConfigFileDir();
    virtual bool ReadSetupComplete();
    virtual DWORD WriteEnableTelvana(bool enable);
    virtual DWORD WriteSetupComplete();
    virtual DWORD WriteDwordValue(const std::wstring& name, DWORD value);
    // 87 for a null text.
    virtual DWORD WriteStringValue(const std::wstring& name, const wchar_t* text);
    virtual DWORD WriteStringValue(const std::wstring& name, const std::wstring& text);

    CCAConfig& GetConfig() { return m_config; }
    void UpdateEnableFlag() { m_config.UpdateEnableFlag(); }

private:
    CCAConfig m_config;
};
