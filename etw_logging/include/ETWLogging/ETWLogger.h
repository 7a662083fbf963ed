// The default process logger: a classic ETW provider that turns every accepted log line into
// one trace event carrying a small self-describing record.
#pragma once
#include "ETWLogging/AppProperties.h"
#include "ETWLogging/EtwApi.h"
#include "ETWLogging/LoggingIf.h"

#include <windows.h>
#include <evntrace.h>

#include <atomic>
#include <memory>
#include <string>

namespace Lumetra { class CByteBuffer; }

namespace ETWLogging {

// Path, file name and file version of a loaded module.
class ModuleVersionInfo {
public:
    explicit ModuleVersionInfo(HMODULE module);

    // The module that holds the logging library; made once per process.
    static const ModuleVersionInfo& Instance();

    const std::wstring& GetFullPath() const { return m_fullPath; }
    const std::wstring& GetFileName() const { return m_fileName; }
    // "a.b.c.d" when the resource gives "a,b,c,d"; empty when the module has no version.
    const std::wstring& GetFileVersion() const { return m_fileVersion; }

private:
    std::wstring m_fullPath;
    std::wstring m_fileName;
    std::wstring m_fileVersion;
};

// What one trace event carries, in the order it is serialised.
struct ETWEventRecord {
    DWORD processId = 0;
    DWORD threadId = 0;
    std::wstring executableName;
    std::wstring file;
    std::wstring function;
    int line = 0;
    std::wstring moduleFileName;
    std::wstring moduleVersion;
    std::wstring applicationName;
    std::wstring message;

    // Field tags of the event data; each field is tag, type, 16-bit byte length, value.
    enum Tag : DWORD {
        kTagProcessId = 4, kTagThreadId = 5, kTagFile = 6, kTagLine = 7, kTagFunction = 8,
        kTagModuleFileName = 9, kTagModuleVersion = 10, kTagApplicationName = 11, kTagMessage = 12,
        kTagExecutableName = 13
    };
    enum Type : DWORD { kTypeUInt32 = 2, kTypeText = 4, kTypeInt32 = 5 };

    // False when memory ran out; the buffer is cleared first.
    bool Serialize(Lumetra::CByteBuffer& buffer) const;
};

// The header TraceEvent receives: the event header and the one MOF field that points at the
// event data.
struct ETWEventPacket {
    EVENT_TRACE_HEADER header;
    MOF_FIELD data;
};

class CETWLogging : public CLoggingIf_ex {
public:
    CETWLogging();
    // A null api means the operating system's.
    explicit CETWLogging(std::shared_ptr<EtwApi> api);
    CETWLogging(const CETWLogging&) = delete;
    CETWLogging& operator=(const CETWLogging&) = delete;

    ~CETWLogging() override;
    DWORD Initialize(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName,
                     LoggingConfigListenerIf* listener) override;
    DWORD BeginWrite() override;
    void GetComponentName(std::wstring& name) override;
    void GetApplicationName(std::wstring& name) override;
    DWORD Uninitialize() override;
    DWORD SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    DWORD LogLevelF(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, ...) override;
    DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                const wchar_t* text) override;
    bool IsLevelEnabled(LogLevel level) override;
    void SetMaxEntries(DWORD count) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    void SetSeverity(LogLevel level) override;
    LogLevel GetSeverity() override;

    DWORD InitializeEx(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance,
                       const wchar_t* hostName, LoggingConfigListenerIf* listener) override;
    DWORD WriteText(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* text) override;
    DWORD WriteV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                 const wchar_t* format, va_list args) override;
    DWORD WriteF(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                 const wchar_t* format, ...) override;

    virtual bool IsSameSession(TRACEHANDLE sessionHandle);
    // Enable (4) and disable (5) requests of a trace session.
    virtual ULONG ControlCallback(WMIDPREQUESTCODE requestCode, PVOID buffer);
    virtual void SetEventClassGuid();
    // File name of the module (the executable for null) without folder, and without extension
    // when asked; empty when the module is unknown.
    virtual void GetModuleName(std::wstring& name, HMODULE module, bool stripExtension);
    virtual void BuildComponentName();
    virtual DWORD UnregisterProvider();
    virtual DWORD Shutdown();
    virtual LogLevel MapLevel(LogLevel level);
    virtual void FillEventRecord(const wchar_t* file, const wchar_t* function, int line, ETWEventRecord& record);

    // The function registered as the provider's control callback; the context is the logger.
    static ULONG WINAPI ControlCallbackEntry(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize,
                                             PVOID buffer);

    // Longest message of one event, in characters.
    static constexpr int kMaxMessageChars = 2079;

private:
    std::atomic<bool> m_registered{false};
    CRITICAL_SECTION m_lock;
    DWORD m_processId = 0;
    GUID m_eventClassGuid{};
    std::unique_ptr<LoggingConfigListenerIf> m_listener;
    // Changed by the trace service's thread while log calls read them.
    std::atomic<bool> m_enabled{true};
    std::atomic<LogLevel> m_threshold{3};
    std::wstring m_applicationName;
    std::wstring m_hostName;
    std::wstring m_executableName;
    std::wstring m_moduleBaseName;
    std::wstring m_componentName;
    std::wstring m_moduleFileName;
    std::wstring m_moduleVersion;
    std::atomic<TRACEHANDLE> m_sessionHandle{0};
    TRACEHANDLE m_registrationHandle = 0;
    internal::ETWAppProperties m_properties;
    std::shared_ptr<EtwApi> m_api;
};

} // namespace ETWLogging
