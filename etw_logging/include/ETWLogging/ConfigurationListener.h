// Applies an enable flag and a threshold to a logger: first those a trace session or start-up
// gives, then the "Enable"/"Severity" values of the registry, from the general key to the most
// specific one.
#pragma once
#include "ETWLogging/AppProperties.h"
#include "ETWLogging/LoggingIf.h"

#include <string>

namespace ETWLogging {

class CETWConfigurationListener : public LoggingConfigListenerIf {
public:
    // The set is copied; the logger is not owned (null attaches nothing).
    CETWConfigurationListener(const internal::ETWAppProperties& properties, CLoggingIf* logger);

    void OnConfigurationChanged(bool enable, LogLevel level, ULONG flags) override;
    ~CETWConfigurationListener() override;
    // Takes the logger only when none is attached yet.
    virtual bool AttachLogger(CLoggingIf* logger);
    virtual void GetSettingsKey(HKEY& root, std::wstring& path);
    virtual void ReadSettings(HKEY root, const std::wstring& path);

private:
    internal::ETWAppProperties m_properties;
    CLoggingIf* m_logger = nullptr;
};

} // namespace ETWLogging
