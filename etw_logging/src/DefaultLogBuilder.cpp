#include "ETWLogging/DefaultLogBuilder.h"

#include "ETWLogging/ETWLogger.h"
#include "ETWLogging/FileLogger.h"

#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/RegKey.h"

#include <memory>
#include <new>

namespace ETWLogging {

namespace {

constexpr const wchar_t* kLoggingKeyPath = L"SOFTWARE\\Orvane\\Logging";
constexpr const wchar_t* kMechanismValue = L"Logging Mechanism";
constexpr DWORD kFileMechanism = 1;

template <typename Logger>
bool MakeLogger(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName,
                CLoggingIf** out)
{
    if (!out || *out) return false;
    if ((appName && !*appName) || (hostName && !*hostName)) return false;

    // Owned here until handed out, so a throwing initialisation does not leak it.
    std::unique_ptr<CLoggingIf> logger(new (std::nothrow) Logger());
    if (!logger) return false;

    bool initialised = false;
    if (auto* loggerEx = dynamic_cast<CLoggingIf_ex*>(logger.get()))
        initialised = loggerEx->InitializeEx(propertiesName, appName, instance, hostName, nullptr) == ERROR_SUCCESS;
    if (!initialised) initialised = logger->Initialize(appName, instance, hostName, nullptr) == ERROR_SUCCESS;
    if (!initialised) return false;
    *out = logger.release();
    (*out)->AddRef();
    return true;
}

} // namespace

CDefaultLogBuilder& CDefaultLogBuilder::Instance()
{
    static CDefaultLogBuilder builder;
    return builder;
}

bool CDefaultLogBuilder::ChoosesFileLogger(DWORD mechanism, Lumetra::CRegKey* key)
{
    if (mechanism == kFileMechanism) return true;
    DWORD value = 0;
    if (key) {
        if (key->QueryDWORDValue(kMechanismValue, value) != ERROR_SUCCESS) value = 0;
    } else {
        Lumetra::CObfuscatedRegKey settings;
        if (settings.Open(HKEY_LOCAL_MACHINE, kLoggingKeyPath, KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;
        if (settings.QueryDWORDValue(kMechanismValue, value) != ERROR_SUCCESS) value = 0;
    }
    return value == kFileMechanism;
}

bool CDefaultLogBuilder::BuildLogger(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName,
                                     DWORD mechanism, CLoggingIf** logger, Lumetra::CRegKey* key)
{
    return BuildLoggerEx(nullptr, appName, instance, hostName, mechanism, logger, key);
}

bool CDefaultLogBuilder::BuildLoggerEx(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance,
                                       const wchar_t* hostName, DWORD mechanism, CLoggingIf** logger,
                                       Lumetra::CRegKey* key)
{
    if (ChoosesFileLogger(mechanism, key))
        return MakeLogger<CLogging>(propertiesName, appName, instance, hostName, logger);
    return MakeLogger<CETWLogging>(propertiesName, appName, instance, hostName, logger);
}

} // namespace ETWLogging
