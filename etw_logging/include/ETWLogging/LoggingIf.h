// Interfaces shared by the process logger, its two implementations and their builders.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <string>

namespace Lumetra { class CRegKey; }

namespace ETWLogging {

// 1 Normal, 2 Warning, 3 Information, 4 Error, 5 Critical, 6 Information.
using LogLevel = DWORD;

// Receives enable/threshold changes from a trace session or from start-up.
class LoggingConfigListenerIf {
public:
    virtual void OnConfigurationChanged(bool enable, LogLevel level, ULONG flags) = 0;
    virtual ~LoggingConfigListenerIf() = default;
};

class CLoggingIf {
public:
    virtual ~CLoggingIf() = default;
    virtual DWORD Initialize(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName,
                             LoggingConfigListenerIf* listener) = 0;
    // Non-zero drops the line that is about to be written.
    virtual DWORD BeginWrite() = 0;
    virtual void GetComponentName(std::wstring& name) { (void)name; }
    virtual void GetApplicationName(std::wstring& name) { (void)name; }
    virtual DWORD Uninitialize() = 0;
    virtual DWORD SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() = 0;
    virtual DWORD LogLevelF(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* format, ...) = 0;
    virtual DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                        const wchar_t* text) = 0;
    virtual bool IsLevelEnabled(LogLevel level) = 0;
    virtual void SetMaxEntries(DWORD count) = 0;
    virtual DWORD GetMaxEntries() = 0;
    virtual void SetMaxSize(DWORD bytes) = 0;
    virtual DWORD GetMaxSize() = 0;
    virtual void SetSeverity(LogLevel level) = 0;
    virtual LogLevel GetSeverity() = 0;
    virtual LONG AddRef() { return 0; }
    virtual LONG Release() { return 0; }
    // printf-style writes at fixed levels; the text is cut to 4159 characters.
    virtual DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);

protected:
    DWORD LogFixedLevelV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, va_list args);
};

class CLoggingIf_ex : public CLoggingIf {
public:
    virtual DWORD InitializeEx(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance,
                               const wchar_t* hostName, LoggingConfigListenerIf* listener) = 0;
    virtual DWORD WriteText(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* text) = 0;
    virtual DWORD WriteV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, va_list args) = 0;
    virtual DWORD WriteF(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) = 0;
};

class CLogBuilderIf {
public:
    virtual bool BuildLogger(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName, DWORD mechanism,
                             CLoggingIf** logger, Lumetra::CRegKey* key) = 0;
    virtual ~CLogBuilderIf() = default;
};

class CLogBuilderIf_ex : public CLogBuilderIf {
public:
    virtual bool BuildLoggerEx(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance,
                               const wchar_t* hostName, DWORD mechanism, CLoggingIf** logger,
                               Lumetra::CRegKey* key) = 0;
};

} // namespace ETWLogging
