// Combined enable flags and the first-run computation of the product enable flag. Embedded in
// ConfigurationRegistry; every read and write goes through that object's operations.
#pragma once
#include <string>

class ConfigurationRegistry;

class CCAConfig {
public:
    explicit CCAConfig(ConfigurationRegistry* registry) : m_registry(registry) {}

    bool IsGlobalEnabled();
    bool IsGoogleAnalyticsEnabled();
    // Both the global and the product flag.
    bool IsTelvanaEnabled();
    // On the first run (no "setupComplete") sets "enableTelvana" when the product's affiliate id
    // and culture are on the enable list; on a later run removes a left-over list.
    void UpdateEnableFlag();
    // The list is a run of entries each framed by ';': an affiliate id alone (every culture) or
    // "affid,culture". Case-sensitive.
    bool MatchEnableList(const std::wstring& affid, const std::wstring& culture, const std::wstring& enableList);

private:
    ConfigurationRegistry* m_registry;
};
