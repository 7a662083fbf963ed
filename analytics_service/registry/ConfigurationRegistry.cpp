#include "registry/ConfigurationRegistry.h"

#include "registry/CAUtils.h"

using Taliro::Analytics::kQueryParamsRegistryPath;
using Taliro::Analytics::kTelvanaRegistryPath;

namespace {

bool ReadFlag(const wchar_t* name, bool defaultValue)
{
    return GetBoolFromRegistry(kTelvanaRegistryPath, name, kRegistryPlainValue, defaultValue);
}

std::wstring ReadText(const std::wstring& path, const wchar_t* name)
{
    std::wstring text;
    GetStringFromRegistry(path, name, text, kRegistryPlainValue);
    return text;
}

std::wstring ReadWholeText(const wchar_t* name)
{
    std::wstring text;
    GetWholeStringFromRegistry(kTelvanaRegistryPath, name, text, kRegistryPlainValue);
    return text;
}

} // namespace

std::shared_ptr<ConfigurationRegistry> ConfigurationRegistry::GetInstance()
{
    // A static whose initialisation throws is initialised again by the next call.
    static const std::shared_ptr<ConfigurationRegistry> instance = std::make_shared<ConfigurationRegistry>();
    return instance;
}

std::wstring ConfigurationRegistry::GetAffId()
{
    std::wstring affid = ReadText(kQueryParamsRegistryPath, L"affid");
    return affid.substr(0, affid.find(L'-'));
}

std::wstring ConfigurationRegistry::GetCulture() { return ReadText(kQueryParamsRegistryPath, L"culture"); }

bool ConfigurationRegistry::ReadGlobalEnable() { return ReadFlag(L"globalEnable", false); }

bool ConfigurationRegistry::ReadEnableTelvana() { return ReadFlag(L"enableTelvana", false); }

bool ConfigurationRegistry::ReadEnableGoogleAnalytics() { return ReadFlag(L"enableGoogleAnalytics", true); }

bool ConfigurationRegistry::ReadEnableMessageBusPublishing() { return ReadFlag(L"enableMessageBusPublishing", true); }

std::wstring ConfigurationRegistry::GetEnabledAffIdLocales() { return ReadWholeText(L"enabledAffIdLocales"); }

DWORD ConfigurationRegistry::DeleteEnabledAffIdLocales()
{
    return DeleteRegistryValue(HKEY_LOCAL_MACHINE, kTelvanaRegistryPath, L"enabledAffIdLocales");
}

std::wstring ConfigurationRegistry::GetEnabledSinks() { return ReadWholeText(L"enabledSinks"); }

std::wstring ConfigurationRegistry::GetConfigFileDir() { return ReadText(kTelvanaRegistryPath, L"configFileDir"); }

bool ConfigurationRegistry::ReadSetupComplete() { return ReadFlag(L"setupComplete", false); }

DWORD ConfigurationRegistry::WriteEnableTelvana(bool enable)
{
    return WriteDwordValue(L"enableTelvana", enable ? 1 : 0);
}

DWORD ConfigurationRegistry::WriteSetupComplete() { return WriteDwordValue(L"setupComplete", 1); }

DWORD ConfigurationRegistry::WriteDwordValue(const std::wstring& name, DWORD value)
{
    return SaveValueToRegistry(kTelvanaRegistryPath, name, value, kRegistryPlainValue);
}

DWORD ConfigurationRegistry::WriteStringValue(const std::wstring& name, const wchar_t* text)
{
    if (!text) return ERROR_INVALID_PARAMETER;
    return WriteStringValue(name, std::wstring(text));
}

DWORD ConfigurationRegistry::WriteStringValue(const std::wstring& name, const std::wstring& text)
{
    return SaveStringValueToRegistry(kTelvanaRegistryPath, name, text, kRegistryPlainValue);
}
